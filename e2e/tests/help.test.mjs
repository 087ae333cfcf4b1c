// The help page: opened from the menu, with F1 and from the About window's link, over the
// page that is shown; every text is a translation in the chosen language; links that leave
// the program open in a new browsing context (the desktop window hands them to xdg-open).
// Also the page's one close path: the × and the window manager's close ask the same question.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import vm from 'node:vm';
import { fileURLToPath } from 'node:url';
import { startBrowser, launch, answerBox, topPopup, popupCount } from './harness.mjs';

const uiDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../ui');
function table(id) {
    let got;
    vm.runInNewContext(fs.readFileSync(path.join(uiDir, `tis/${id}.tis`), 'utf8'), { Lang: { table: (t) => { got = t; } } });
    return got;
}
const tables = { en: table('en'), zh: table('zh') };

let browser;
before(async () => { browser = await startBrowser(); });
after(async () => { await browser.close(); });

// Waits for the help page on the top layer and checks that every label shows its text.
async function checkHelp(page, lang) {
    const help = topPopup(page);
    await help.locator(`html#help-window[lang="${lang}"]:not(.lang-pending)`).waitFor();
    const labels = await help.locator('[data-key]').evaluateAll((els) => els.map((e) => [e.dataset.key, e.textContent]));
    assert.ok(labels.length >= 30, `only ${labels.length} labels`);
    for (const [key, text] of labels) assert.equal(text, tables[lang][key], key);
    for (const id of ['helpSteps', 'helpOptions', 'helpSelection', 'helpKeys', 'helpFiles', 'helpTrash']) {
        assert.equal(await help.locator('#' + id).isVisible(), true, id);
    }
    return help;
}

test('help opens from the menu, F1 and About, in the chosen language, and closes', async () => {
    const { app, page } = await launch(browser);
    try {
        await page.click('#btnMenu');
        await page.click('#menuHelp');
        const help = await checkHelp(page, 'en');
        const link = help.locator('#trashSpecLink');
        assert.equal(await link.getAttribute('target'), '_blank');
        assert.match(await link.getAttribute('href'), /^https:\/\//);
        assert.equal(await page.evaluate(() => document.getElementById('app').inert), true);
        await help.locator('#helpBody').press('Escape');
        assert.equal(await popupCount(page), 0);

        // F1 opens it once, however often it is pressed; OK closes it.
        await page.keyboard.press('F1');
        await page.keyboard.press('F1');
        await checkHelp(page, 'en');
        assert.equal(await popupCount(page), 1);
        await topPopup(page).locator('#btnHelpOk').click();
        assert.equal(await popupCount(page), 0);

        // The About window's link opens the help over it, in Chinese once that is chosen.
        await page.click('#btnMenu');
        await page.click('#menuLangZh');
        await page.waitForFunction(() => Lang.language === 'zh');
        await page.click('#btnMenu');
        await page.click('#menuAbout');
        const about = topPopup(page);
        await about.locator('#supportLink').click();
        await checkHelp(page, 'zh');
        assert.equal(await popupCount(page), 2);
        await topPopup(page).locator('.popup-close').click();
        assert.equal(await popupCount(page), 1);
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('the window manager close asks what the × asks, once, and No keeps the program', async () => {
    const { app, page } = await launch(browser);
    try {
        // The desktop window calls RequestAppClose for its window manager's close.
        await page.evaluate(() => { RequestAppClose(); RequestAppClose(); });
        await topPopup(page).locator('html#msgbox-window:not(.lang-pending)').waitFor();
        assert.equal(await popupCount(page), 1, 'a second close while asking adds no question');
        const asked = await answerBox(page, 'btnNo');
        assert.equal(asked.text, tables.en.IS_CLOSE_RUN_APP);
        assert.deepEqual(asked.buttons, ['btnNo', 'btnYes']);
        assert.deepEqual(await page.evaluate(() => view.GetRunningJobs()), [0, 0]);
        await page.evaluate(() => RequestAppClose());
        await answerBox(page, 'btnYes');
        assert.equal((await app.exited).code, 0);
    } finally {
        await app.stop();
    }
});
