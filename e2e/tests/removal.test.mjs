// Moving ticked files to the trash (the desktop's own trash, with its .trashinfo), and the
// cancel button of the progress window, which never leaves the page blocked.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
    startBrowser, launch, makeFiles, answerBox, topPopup, popupCount, scanFolder, gridRows, waitRows, counters,
} from './harness.mjs';

let browser;
before(async () => { browser = await startBrowser(); });
after(async () => { await browser.close(); });

test('move to trash: files land in the trash with their .trashinfo and leave the rows', async () => {
    const { app, page } = await launch(browser);
    try {
        makeFiles(app.dirs.home, {
            'keep/report.txt': 'quarterly numbers',
            'keep/copy of report.txt': 'quarterly numbers',
            'keep/photo.jpg': Buffer.alloc(2048, 7),
            'keep/old/photo.jpg': Buffer.alloc(2048, 7),
        });
        await scanFolder(page, path.join(app.dirs.home, 'keep'));
        await waitRows(page, 4);
        await page.click('#chkHeader');
        const ticked = (await gridRows(page)).filter((r) => r.ticked);
        assert.equal(ticked.length, 2);

        await page.click('#btnTrashSelect');
        const ask = await answerBox(page, 'btnYes');
        assert.equal(ask.text, '2 files will be moved to the trash, are you sure ?');
        await topPopup(page).locator('html#msgbox-window #btnOk:visible').waitFor({ timeout: 30000 });
        const done = await answerBox(page);
        assert.equal(done.text, 'Successfully moved 2 files to the trash');
        await waitRows(page, 2);

        const trash = path.join(app.dirs.xdgData, 'Trash');
        const infos = fs.readdirSync(path.join(trash, 'info'));
        assert.equal(infos.length, 2);
        for (const r of ticked) {
            const full = r.folder + r.name;
            assert.equal(fs.existsSync(full), false, full);
            const info = infos.map((f) => fs.readFileSync(path.join(trash, 'info', f), 'utf8'))
                .find((text) => decodeURIComponent(/^Path=(.*)$/m.exec(text)[1]) === full);
            assert.ok(info, 'a .trashinfo names ' + full);
            assert.match(info, /^\[Trash Info\]$/m);
            assert.match(info, /^DeletionDate=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$/m);
        }
        const trashed = fs.readdirSync(path.join(trash, 'files'));
        assert.equal(trashed.length, 2);
        assert.ok(trashed.some((n) => n.startsWith('photo')));
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('cancel: the progress window closes, the counts deleted and left are shown, rows reload', async () => {
    const { app, page } = await launch(browser);
    try {
        const files = {};
        for (let i = 0; i < 1500; i++) {
            const body = `set ${i}`.padEnd(100 + (i % 50), '.');
            files[`many/a/f${i}.txt`] = body;
            files[`many/b/f${i}.txt`] = body;
        }
        makeFiles(app.dirs.home, files);
        const root = path.join(app.dirs.home, 'many');
        await scanFolder(page, root);
        await waitRows(page, 3000);
        await page.click('#chkHeader');
        assert.equal((await counters(page)).count, '1500');

        await page.click('#btnDelSelect');
        await answerBox(page, 'btnYes');
        // Cancel as soon as the progress window is there; the job may be over already, and
        // either way the page must end up answering with what was deleted.
        const progress = topPopup(page);
        await progress.locator('#btnCancelDelete').click({ timeout: 10000 }).catch(() => {});
        await topPopup(page).locator('html#msgbox-window #btnOk:visible').waitFor({ timeout: 30000 });
        assert.equal(await popupCount(page), 1, 'only the message is open');
        const done = await answerBox(page);
        const gone = Object.keys(files).filter((rel) => !fs.existsSync(path.join(app.dirs.home, rel))).length;
        // A run stopped early says how many files it left as they were.
        const left = 1500 - gone;
        assert.equal(done.text, `Successfully delete ${gone} files` +
            (left > 0 ? `\nStopped: ${left} files were left as they were` : ''));
        assert.ok(gone <= 1500);
        assert.equal(await page.evaluate(() => document.getElementById('app').inert), false);
        await waitRows(page, 3000 - gone);
        assert.deepEqual(await counters(page), { count: '0', size: '0 B', header: 'off' });
    } finally {
        await app.stop();
    }
});
