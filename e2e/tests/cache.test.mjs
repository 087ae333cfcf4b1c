// The content-key cache in the window: the page-2 option is stored and read back by a new
// start, each scan follows the option as it is when it starts, and "Clear cache" in the menu
// asks first, empties the real cache file, and is refused while a scan runs.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { startBrowser, launch, makeFiles, answerBox, addFolderTyped, clearFolders, waitRows, tempDir } from './harness.mjs';

let browser;
let dataDir;
let app;
let page;
let tree;
before(async () => {
    browser = await startBrowser();
    dataDir = tempDir('cache-data');   // outlives each program start
    ({ app, page } = await launch(browser, { dataDir }));
    tree = tempDir('cache-tree');
    makeFiles(tree, {
        'a/one.txt': 'the same words', 'b/one.txt': 'the same words',
        'a/big.bin': Buffer.alloc(9000, 7), 'b/big.bin': Buffer.alloc(9000, 7),
        'a/lone.txt': 'no twin here',
    });
});
after(async () => {
    await app.stop();
    await browser.close();
    fs.rmSync(dataDir, { recursive: true, force: true });
    fs.rmSync(tree, { recursive: true, force: true });
});

const cacheFile = () => path.join(dataDir, 'cache.db');
// The file keeps its entries in parts, 64 bytes an entry.
const cacheEntries = () => Number(execFileSync('sqlite3', [cacheFile(), 'select coalesce(sum(length(entries)), 0) / 64 from part;'], { encoding: 'utf8' }).trim());
const configText = () => fs.readFileSync(path.join(dataDir, 'Config.ini'), 'utf8');

async function toPage2(folder) {
    await clearFolders(page, 'listSearchDir');
    await addFolderTyped(page, '#btnAddSearchDir', folder);
    await page.click('#btnNextStep');
    await page.waitForFunction(() => document.getElementById('chkAllType')?.dataset.state === 'on');
}

async function scanWithCache(on) {
    await toPage2(tree);
    await page.setChecked('#chkUseCache', on);
    await page.click('#btnStartScan');
    await page.waitForSelector('#pageResults');
    await waitRows(page, 4);
}

async function goHome() {
    await page.click('#btnHome');
    await answerBox(page, 'btnYes');
    await page.waitForSelector('#pageChoisir');
}

// Polled from here: an async predicate given to waitForFunction would not wait.
async function waitReady() {
    const deadline = Date.now() + 30000;
    while ((await page.evaluate(() => view.GetScanningInfo()))[0] !== 0) {
        if (Date.now() > deadline) throw new Error('the scan never ended');
        await new Promise((resolve) => setTimeout(resolve, 100));
    }
}

// The cache is written after a scan's results are out, in one transaction: polled until
// it holds at least `atLeast` entries.
async function waitCacheEntries(atLeast) {
    const deadline = Date.now() + 30000;
    for (;;) {
        let count = 0;
        try {
            count = cacheEntries();
        } catch {
            count = 0;   // not made yet
        }
        if (count >= atLeast) return count;
        if (Date.now() > deadline) throw new Error(`the cache holds ${count} entries`);
        await new Promise((resolve) => setTimeout(resolve, 100));
    }
}

async function restart() {
    await page.close();
    await app.stop();
    ({ app, page } = await launch(browser, { dataDir }));
}

async function clearFromMenu(answer) {
    await page.click('#btnMenu');
    await page.click('#menuClearCache');
    const question = await answerBox(page, answer);
    assert.deepEqual(question.buttons, ['btnNo', 'btnYes']);
    assert.match(question.text, /earlier scans/);
    if (answer === 'btnNo') return null;
    return (await answerBox(page)).text;
}

test('the option starts on, is stored off, and a scan without it leaves no cache file', async () => {
    await toPage2(tree);
    assert.equal(await page.isChecked('#chkUseCache'), true);
    assert.equal(await page.textContent('label[for="chkUseCache"]'), 'Remember file contents between scans');
    await page.click('#btnReturn');
    await scanWithCache(false);
    assert.match(configText(), /^cache=0$/m);
    assert.equal(fs.existsSync(cacheFile()), false, 'the cache was not used');
});

test('a new start reads the option back; turned on, the next scan fills the cache', async () => {
    await restart();
    await toPage2(tree);
    assert.equal(await page.evaluate(() => view.GetUseCache()), 0);
    // The page fills its boxes as the stored settings arrive, the cache option last.
    await page.waitForFunction(() => document.getElementById('chkUseCache').checked === false, null, { timeout: 10000 });
    await page.click('#btnReturn');
    await scanWithCache(true);
    assert.match(configText(), /^cache=1$/m);
    assert.ok(await waitCacheEntries(4) >= 4, 'the twins were kept in the cache');
});

test('Clear cache asks first; No keeps the entries, Yes empties the file and says so', async () => {
    const before = cacheEntries();
    assert.equal(await clearFromMenu('btnNo'), null);
    assert.equal(cacheEntries(), before);
    assert.equal(await clearFromMenu('btnYes'), 'The cache was cleared.');
    assert.equal(cacheEntries(), 0);
    assert.deepEqual(page.errors, []);
});

test('Clear cache is refused while a scan runs, and the cache keeps its entries', async () => {
    await goHome();
    // A scan that takes long: equal sparse files of 1 GiB, read in full (about 4 GB/s
    // here, so 96 of them outlast the menu and its question on a fast machine too).
    const slow = tempDir('cache-slow');
    try {
        for (let i = 0; i < 96; i++) {
            const fd = fs.openSync(path.join(slow, `zeros_${i}.bin`), 'w');
            fs.ftruncateSync(fd, 1024 * 1024 * 1024);
            fs.closeSync(fd);
        }
        await scanWithCache(true);   // the small tree again: the cache holds entries
        await goHome();
        const held = cacheEntries();
        assert.ok(held >= 4);
        await page.evaluate((folder) => view.SetSearchDirectory([folder]), slow);
        assert.equal(await page.evaluate(() => view.BeginSearch()), 0);
        assert.equal(await clearFromMenu('btnYes'), 'The cache cannot be cleared while a scan runs.');
        assert.equal(cacheEntries(), held);
        await page.evaluate(() => view.AbortSearch());
        await waitReady();
    } finally {
        fs.rmSync(slow, { recursive: true, force: true });
    }
});
