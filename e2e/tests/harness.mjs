// Shared harness of the browser tests: starts the real executable with its data folder,
// home, trash and runtime folders in a temp dir, opens its page in Debian's Chromium
// (driven by playwright-core, never a downloaded browser), and gives small helpers for the
// message boxes and the folder lists.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const BIN = process.env.MERRAVINE_BIN || path.resolve(here, '../../build/ci/src/shell/merravine');
const CHROMIUM = process.env.CHROMIUM_BIN || '/usr/bin/chromium';
const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'];

export function tempDir(prefix) {
    return fs.mkdtempSync(path.join(os.tmpdir(), `merravine-e2e-${prefix}-`));
}

/// Writes files below `root`: { 'a/b.txt': 'content' | Buffer }. Returns the absolute paths.
export function makeFiles(root, files) {
    const out = {};
    for (const [rel, content] of Object.entries(files)) {
        const full = path.join(root, rel);
        fs.mkdirSync(path.dirname(full), { recursive: true });
        fs.writeFileSync(full, content);
        out[rel] = full;
    }
    return out;
}

/// Starts the program without a window. `home` becomes $HOME (the chooser starts there);
/// `runtime` may be shared by two instances to see the single-instance notice.
export async function startApp({ home, runtime, dataDir, extraEnv = {} } = {}) {
    const root = tempDir('app');
    const dirs = {
        root,
        data: dataDir || path.join(root, 'data'),
        home: home || path.join(root, 'home'),
        xdgData: path.join(root, 'xdg-data'),
        runtime: runtime || path.join(root, 'runtime'),
    };
    for (const d of [dirs.data, dirs.home, dirs.xdgData, dirs.runtime]) fs.mkdirSync(d, { recursive: true, mode: 0o700 });
    const env = {
        ...process.env,
        HOME: dirs.home,
        XDG_DATA_HOME: dirs.xdgData,
        XDG_CONFIG_HOME: path.join(root, 'xdg-config'),
        XDG_STATE_HOME: path.join(root, 'xdg-state'),
        XDG_RUNTIME_DIR: dirs.runtime,
        DBUS_SESSION_BUS_ADDRESS: 'disabled:',
        ...extraEnv,
    };
    delete env.MERRAVINE_DATA_DIR;
    const proc = spawn(BIN, ['--no-window', '--data-dir', dirs.data], { env, stdio: ['ignore', 'pipe', 'pipe'] });
    let stderr = '';
    proc.stderr.on('data', (d) => { stderr += d; });
    const exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal })));
    const url = await new Promise((resolve, reject) => {
        const lines = readline.createInterface({ input: proc.stdout });
        const timer = setTimeout(() => reject(new Error('no URL line within 20 s; stderr: ' + stderr)), 20000);
        lines.once('line', (line) => {
            clearTimeout(timer);
            const m = /^URL: (\S+)/.exec(line);
            if (m) resolve(m[1]); else reject(new Error('unexpected first line: ' + line));
        });
        proc.once('error', (e) => { clearTimeout(timer); reject(e); });
        exited.then(({ code }) => { clearTimeout(timer); reject(new Error(`exited ${code} before its URL; ${stderr}`)); });
    });
    return {
        url, proc, dirs, exited,
        get stderr() { return stderr; },
        async stop() {
            if (proc.exitCode === null && proc.signalCode === null) {
                proc.kill('SIGTERM');
                const t = setTimeout(() => proc.kill('SIGKILL'), 5000);
                await exited;
                clearTimeout(t);
            }
            fs.rmSync(root, { recursive: true, force: true });
        },
    };
}

/// One Chromium with a fresh profile for a test file.
export async function startBrowser() {
    const profile = tempDir('profile');
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS, viewport: { width: 960, height: 760 },
    });
    context.setDefaultTimeout(20000);
    return {
        context,
        async close() {
            await context.close();
            fs.rmSync(profile, { recursive: true, force: true });
        },
    };
}

/// Opens the program's page and waits until page 1 is shown; page errors fail the test.
export async function openApp(browser, app, { waitReady = true } = {}) {
    const page = await browser.context.newPage();
    page.errors = [];
    page.on('pageerror', (e) => page.errors.push(e.message));
    page.on('console', (m) => { if (m.type() === 'error') page.errors.push(m.text()); });
    await page.goto(app.url);
    if (waitReady) await page.waitForSelector('html[data-ready="1"]');
    return page;
}

/// Both the program and a page on it, for tests that need one of each.
export async function launch(browser, options) {
    const app = await startApp(options);
    const page = await openApp(browser, app);
    return { app, page };
}

/// The frame of the topmost popup layer.
export function topPopup(page) {
    return page.locator('.popup-layer').last().locator('iframe').contentFrame();
}

/// Waits for a message box, returns its title and text (buttons shown too), and answers it.
export async function answerBox(page, button = 'btnOk') {
    const box = topPopup(page);
    await box.locator('html#msgbox-window:not(.lang-pending)').waitFor();
    const title = (await box.locator('#msgTitle').textContent()).trim();
    const text = (await box.locator('#msgText').textContent()).trim();
    const buttons = [];
    for (const id of ['btnNo', 'btnYes', 'btnOk']) if (await box.locator('#' + id).isVisible()) buttons.push(id);
    await box.locator('#' + button).click();
    return { title, text, buttons };
}

export async function popupCount(page) {
    return page.locator('.popup-layer').count();
}

/// Adds `folder` to the list of the current page through the folder chooser (typed path).
export async function addFolderTyped(page, addButton, folder) {
    await page.click(addButton);
    await page.waitForSelector('#folderChooser .chooser-path');
    // The chooser shows its first folder when the listing arrives; a path typed before that
    // would be replaced by it.
    await page.waitForFunction(() => document.getElementById('chooserPath').value !== '');
    await page.fill('#chooserPath', folder);
    await page.click('#chooserOk');
    await page.waitForSelector('#folderChooser', { state: 'detached' });
}

/// Removes every entry of a folder list with its remove buttons.
export async function clearFolders(page, listId) {
    while (await page.locator(`#${listId} .dir-remove`).count() > 0) await page.click(`#${listId} .dir-remove >> nth=0`);
}

export async function listedFolders(page, listId) {
    return page.$$eval(`#${listId} .dir-entry`, (els) => els.map((e) => e.dataset.path));
}

/// Runs page 1 and page 2 with `folder` (or a list of folders, in this order) and the default
/// options (`configure` may change page 2), then waits for page 4's rows.
export async function scanFolder(page, folder, { configure } = {}) {
    await clearFolders(page, 'listSearchDir');
    for (const f of [].concat(folder)) await addFolderTyped(page, '#btnAddSearchDir', f);
    await page.click('#btnNextStep');
    await page.waitForSelector('#btnStartScan');
    await page.waitForFunction(() => document.getElementById('chkKind1') && document.getElementById('chkAllType').dataset.state);
    if (configure) await configure(page);
    await page.click('#btnStartScan');
    await page.waitForSelector('#pageResults');
    await waitRows(page);
}

/// Waits until the grid shows `count` rows in all (or any rows when count is undefined).
/// Waits until the grid holds `count` rows (any when undefined); with `ext`, until every
/// row also has that extension, since a new delivery of the same size can replace the
/// rows a moment after the current ones already match the count.
export async function waitRows(page, count, ext) {
    await page.waitForFunction(([n, e]) => {
        const total = window.DataSource && window.DataSource.rowCount();
        const counted = n === undefined ? total > 0 : total === n && window.DataSource.hasData() === (n > 0);
        return counted && (e === undefined || (window.DataSource.m_dataSource || []).every((r) => r[3] === e));
    }, [count, ext], { timeout: 30000 });
}

/// The rows as the grid holds them: [{name, folder, ext, size, group, ticked}].
export async function gridRows(page) {
    return page.evaluate(() => (window.DataSource.m_dataSource || []).map((r) => ({
        name: r[2] + r[3], folder: r[1], ext: r[3], size: r[4], bytes: r[5], group: r[9], ticked: r[0],
    })));
}

export async function counters(page) {
    return page.evaluate(() => ({
        count: document.getElementById('spanSelNum').textContent.trim(),
        size: document.getElementById('spanSelSize').textContent.trim(),
        header: document.getElementById('chkHeader').dataset.state,
    }));
}
