// The main window around the pages: language switching (every label at once, later message
// boxes too, the stored choice), the About window, the close question, and the notice of a
// second instance.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import vm from 'node:vm';
import { fileURLToPath } from 'node:url';
import { startBrowser, startApp, openApp, launch, answerBox, topPopup, popupCount, clearFolders } from './harness.mjs';

const uiDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../ui');
function table(id) {
    let got;
    vm.runInNewContext(fs.readFileSync(path.join(uiDir, `tis/${id}.tis`), 'utf8'), { Lang: { table: (t) => { got = t; } } });
    return got;
}
const en = table('en');
const zh = table('zh');

let browser;
before(async () => { browser = await startBrowser(); });
after(async () => { await browser.close(); });

// Every bound label of the page and its shown text.
function labels(page) {
    return page.$$eval('[data-key]', (els) => els.filter((e) => e.getClientRects().length > 0)
        .map((e) => [e.dataset.key, e.textContent]));
}

async function pickLanguage(page, id) {
    await page.click('#btnMenu');
    await page.click(`#menuLang${id === 'zh' ? 'Zh' : 'En'}`);
    await page.waitForFunction((l) => document.documentElement.lang === l && Lang.language === l, id);
}

test('both tables hold the same keys and every text the pages use', () => {
    assert.deepEqual(Object.keys(zh).sort(), Object.keys(en).sort());
    for (const [k, v] of Object.entries(zh)) assert.ok(v.length > 0, k);
    assert.equal(zh.FORMATE_TIME, en.FORMATE_TIME);
    const used = new Set();
    for (const file of ['index.html', 'main/choisir.html', 'main/exclure.html', 'main/loading.html',
        'main/centent-main.html', 'main/history.html', 'asynmsgbox.html', 'about.html', 'delete-loading.html', 'help.html']) {
        const html = fs.readFileSync(path.join(uiDir, file), 'utf8');
        for (const m of html.matchAll(/<(?:dfn|label)[^>]*>([A-Z_]+)<\//g)) used.add(m[1]);
        for (const m of html.matchAll(/title="([A-Z_]+)"/g)) used.add(m[1]);
    }
    for (const file of fs.readdirSync(path.join(uiDir, 'tis')).filter((f) => !/^(en|zh)\.tis$/.test(f))) {
        const js = fs.readFileSync(path.join(uiDir, 'tis', file), 'utf8');
        for (const m of js.matchAll(/"([A-Z][A-Z_]{2,})"/g)) if (!/^(W_|FILE_SKIP|BTN_)/.test(m[1])) used.add(m[1]);
    }
    const missing = [...used].filter((k) => !(k in en));
    assert.deepEqual(missing, []);
});

test('Chinese re-translates every label at once, later boxes too; the choice is stored', async () => {
    const { app, page } = await launch(browser);
    try {
        const before = await labels(page);
        assert.ok(before.length >= 4);
        for (const [key, text] of before) assert.equal(text, en[key], key);

        await pickLanguage(page, 'zh');
        const after = await labels(page);
        for (const [key, text] of after) assert.equal(text, zh[key], key);
        assert.equal(await page.textContent('#btnNextStep'), '下一步');
        assert.equal(await page.getAttribute('#btnMinimize', 'title'), zh.MINIMIZE);
        assert.equal(await page.evaluate(() => view.GetLang()), 'zh');

        // A message box opened now is in Chinese, title, text and button.
        await clearFolders(page, 'listSearchDir');
        await page.click('#btnNextStep');
        const box = topPopup(page);
        await box.locator('html[lang="zh"]:not(.lang-pending)').waitFor();
        assert.equal(await box.locator('#btnOk').textContent(), zh.OK);
        const shown = await answerBox(page);
        assert.deepEqual([shown.title, shown.text], [zh.TIPS, zh.PLS_CHOOSE_SCAN_DIR]);

        // The next pages are built in Chinese; a key missing from the table shows its name.
        await page.evaluate(() => {
            const d = document.createElement('dfn');
            d.id = 'misspelt';
            d.textContent = 'NO_SUCH_KEY_HERE';
            document.getElementById('component').appendChild(d);
        });
        await page.waitForFunction(() => document.getElementById('misspelt').dataset.key === 'NO_SUCH_KEY_HERE');
        assert.equal(await page.textContent('#misspelt'), 'NO_SUCH_KEY_HERE');

        // A reload starts in the stored language; back to English works the same way.
        await page.reload();
        await page.waitForSelector('html[data-ready="1"]');
        assert.equal(await page.textContent('#btnNextStep'), '下一步');
        await pickLanguage(page, 'en');
        for (const [key, text] of await labels(page)) assert.equal(text, en[key], key);

        // A stored language without a table starts in English.
        await page.evaluate(() => view.SetLang('fr'));
        await page.reload();
        await page.waitForSelector('html[data-ready="1"]');
        assert.equal(await page.evaluate(() => Lang.language), 'en');
        assert.equal(await page.textContent('#btnNextStep'), 'Next');
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('About shows the version and disables the window until closed', async () => {
    const { app, page } = await launch(browser);
    try {
        await page.click('#btnMenu');
        await page.click('#menuAbout');
        const about = topPopup(page);
        await about.locator('#productVersion:not(:empty)').waitFor();
        assert.match(await about.locator('#productVersion').textContent(), /^\d+(\.\d+)+$/);
        assert.equal(await about.locator('.about-name').textContent(), 'Corvantis Merravine');
        assert.equal(await page.evaluate(() => document.getElementById('app').inert), true);
        await about.locator('#btnAboutOk').click();
        assert.equal(await popupCount(page), 0);
        assert.equal(await page.evaluate(() => document.getElementById('app').inert), false);
        // Closed by its caption button as well.
        await page.click('#btnMenu');
        await page.click('#menuAbout');
        await topPopup(page).locator('.popup-close').click();
        assert.equal(await popupCount(page), 0);
    } finally {
        await app.stop();
    }
});

test('close asks first: No and the caption button keep it running, Yes ends the program', async () => {
    const { app, page } = await launch(browser);
    try {
        assert.equal(await page.evaluate(() => view.MinimizeWindow()), 0);
        await page.click('#btnCloseApp');
        const no = await answerBox(page, 'btnNo');
        assert.equal(no.text, 'Are you sure you want to quit?');
        assert.deepEqual(no.buttons, ['btnNo', 'btnYes']);
        await page.click('#btnCloseApp');
        await topPopup(page).locator('#btnCaptionClose').click();
        assert.equal(await popupCount(page), 0);
        assert.equal(await page.evaluate(() => view.GetLang()), 'en', 'still running');
        await page.click('#btnCloseApp');
        await answerBox(page, 'btnYes');
        const { code } = await app.exited;
        assert.equal(code, 0);
    } finally {
        await app.stop();
    }
});

test('a second instance shows only the notice, whose OK ends it; the first runs on', async () => {
    const first = await startApp();
    let second;
    try {
        const firstPage = await openApp(browser, first);
        second = await startApp({ runtime: first.dirs.runtime });
        const page = await openApp(browser, second, { waitReady: false });
        const notice = await answerBox(page);
        assert.equal(notice.text, 'The program is already running!');
        assert.deepEqual(notice.buttons, ['btnOk']);
        assert.equal((await second.exited).code, 0);
        // The first one's own page still starts normally after a reload.
        await firstPage.reload();
        await firstPage.waitForSelector('html[data-ready="1"]');
        assert.equal(await firstPage.isVisible('#pageChoisir'), true);
    } finally {
        if (second) await second.stop();
        await first.stop();
    }
});
