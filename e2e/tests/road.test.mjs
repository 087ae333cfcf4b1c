// The whole road of one scan and one deletion, against the real program and real files:
// choose the folder in the chooser, scan, tick all but the first file of each set, delete,
// and find exactly those files gone from the disk and the rows reloaded.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
    startBrowser, launch, makeFiles, answerBox, topPopup, popupCount, listedFolders, clearFolders, waitRows, gridRows, counters,
} from './harness.mjs';

let browser;
before(async () => { browser = await startBrowser(); });
after(async () => { await browser.close(); });

test('scan a chosen folder, delete all but the first of each set, files gone and rows reloaded', async () => {
    const { app, page } = await launch(browser);
    try {
        const same3 = Buffer.alloc(3000, 'a');
        const same5 = Buffer.alloc(5000, 'b');
        makeFiles(app.dirs.home, {
            'photos/a1.txt': same3,
            'photos/sub/a2.txt': same3,
            'photos/a3.TXT': same3,
            'photos/b1.jpg': same5,
            'photos/deeper/x/b2.jpg': same5,
            'photos/unique.txt': Buffer.alloc(3000, 'c'),
            'photos/.hidden/a4.txt': same3,
        });
        const root = path.join(app.dirs.home, 'photos');

        // The chooser opens in the home folder; a cancelled chooser adds nothing.
        await clearFolders(page, 'listSearchDir');
        await page.click('#btnAddSearchDir');
        await page.waitForSelector('#folderChooser .chooser-item');
        assert.equal(await page.inputValue('#chooserPath'), app.dirs.home);
        await page.click('#chooserCancel');
        assert.deepEqual(await listedFolders(page, 'listSearchDir'), []);

        await page.click('#btnAddSearchDir');
        await page.dblclick('#folderChooser .chooser-item[data-name="photos"]');
        await page.waitForFunction((p) => document.getElementById('chooserPath').value === p, root);
        // Hidden folders show only on request.
        assert.equal(await page.locator('.chooser-item[data-name=".hidden"]').count(), 0);
        await page.check('#chooserHidden');
        assert.equal(await page.locator('.chooser-item[data-name=".hidden"]').count(), 1);
        await page.click('#chooserOk');
        assert.deepEqual(await listedFolders(page, 'listSearchDir'), [root]);

        await page.click('#btnNextStep');
        await page.waitForSelector('#btnStartScan');
        await page.waitForFunction(() => document.getElementById('chkAllType')?.dataset.state !== undefined);
        // Hidden files are skipped by default here; tick it explicitly to be sure of the set.
        await page.check('#chkSkip1');
        await page.uncheck('#chkMinSize');
        await page.uncheck('#chkMaxSize');
        await page.click('#btnStartScan');
        await page.waitForSelector('#pageResults', { timeout: 30000 });
        await waitRows(page, 5);

        const rows = await gridRows(page);
        const groups = [...new Set(rows.map((r) => r.group))];
        assert.equal(groups.length, 2);
        assert.ok(rows.every((r) => r.ticked === false));
        const full = (r) => r.folder + r.name;
        assert.ok(rows.some((r) => r.name === 'a3.TXT'), 'the listed name keeps its case');

        // The header box's first step ticks all but the first row of each set.
        await page.click('#chkHeader');
        const ticked = (await gridRows(page)).filter((r) => r.ticked);
        assert.equal(ticked.length, 3);
        assert.deepEqual(await counters(page), { count: '3', size: '10.74KB', header: 'mixed' });

        await page.click('#btnDelSelect');
        const ask = await answerBox(page, 'btnYes');
        assert.equal(ask.text, '3 files will be deleted, are you sure ?');
        assert.deepEqual(ask.buttons, ['btnNo', 'btnYes']);

        const done = await answerBoxWhenShown(page);
        assert.equal(done.text, 'Successfully delete 3 files');
        // The message shows before the reload; the rows reload once it is dismissed.
        assert.equal(done.rowsWhileShown, 5);
        const atMessage = await counters(page);
        assert.deepEqual([atMessage.count, atMessage.size], ['0', '0 B']);
        // Each set is left with one file, which is no set any more: the grid is empty.
        await waitRows(page, 0);
        assert.deepEqual(await counters(page), { count: '0', size: '0 B', header: 'off' });
        assert.equal(await popupCount(page), 0);

        for (const r of ticked) assert.equal(fs.existsSync(full(r)), false, full(r) + ' should be gone');
        const kept = rows.filter((r) => !ticked.some((t) => full(t) === full(r)));
        for (const r of kept) assert.equal(fs.existsSync(full(r)), true, full(r) + ' should stay');
        assert.ok(fs.existsSync(path.join(root, 'unique.txt')));
        assert.ok(fs.existsSync(path.join(root, '.hidden/a4.txt')));
        assert.deepEqual(await gridRows(page), []);
        assert.deepEqual(await page.evaluate(() => document.getElementById('totalSets').textContent), '0');
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

// Waits for the result message after the progress window, noting the rows shown meanwhile.
async function answerBoxWhenShown(page) {
    const box = topPopup(page);
    await box.locator('html#msgbox-window #btnOk:visible').waitFor({ timeout: 30000 });
    const rowsWhileShown = await page.evaluate(() => window.DataSource.rowCount());
    assert.equal(await page.locator('.popup-layer').count(), 1, 'the progress window is closed');
    const result = await answerBox(page, 'btnOk');
    return { ...result, rowsWhileShown };
}
