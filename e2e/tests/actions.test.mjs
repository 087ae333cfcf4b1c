// The actions beside Delete on the results page: replace with hard links, with reflinks
// (refused before anything starts where the file system cannot), move to a folder picked in
// the chooser, undo of a trash run, and export of the sets in the scan command's CSV form.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { execFileSync, spawnSync } from 'node:child_process';
import {
    startBrowser, launch, makeFiles, answerBox, topPopup, scanFolder, gridRows, waitRows, BIN, tempDir,
} from './harness.mjs';

let browser;
before(async () => { browser = await startBrowser(); });
after(async () => { await browser.close(); });

const FILES = {
    'set/a/report.txt': 'quarterly numbers',
    'set/b/report.txt': 'quarterly numbers',
    'set/a/photo.jpg': Buffer.alloc(4096, 7),
    'set/b/photo.jpg': Buffer.alloc(4096, 7),
};

// Ticks "all but first" and runs the chosen action of the select box; answers the question.
async function runAction(page, action, { folder } = {}) {
    await page.click('#chkHeader');
    await page.selectOption('#selAction', action);
    await page.click('#btnActSelect');
    if (folder) {
        await page.waitForSelector('#folderChooser .chooser-path');
        await page.fill('#chooserPath', folder);
        await page.click('#chooserOk');
    }
    return answerBox(page, 'btnYes');
}

async function finalMessage(page, button = 'btnOk') {
    await topPopup(page).locator('html#msgbox-window #btnOk:visible').waitFor({ timeout: 30000 });
    return answerBox(page, button);
}

test('hard links: every ticked file becomes a name of the copy that stays', async () => {
    const { app, page } = await launch(browser);
    try {
        makeFiles(app.dirs.home, FILES);
        await scanFolder(page, path.join(app.dirs.home, 'set'));
        await waitRows(page, 4);
        const ask = await runAction(page, 'hardlink');
        assert.equal(ask.text, '2 files will be replaced with hard links to a copy that stays, are you sure ?');
        const done = await finalMessage(page);
        assert.equal(done.text, 'Successfully replaced 2 files with hard links');
        for (const name of ['report.txt', 'photo.jpg']) {
            const a = fs.statSync(path.join(app.dirs.home, 'set/a', name));
            const b = fs.statSync(path.join(app.dirs.home, 'set/b', name));
            assert.equal(a.ino, b.ino, name);
            assert.equal(a.nlink, 2);
        }
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('reflinks: a file system without shared extents is told before anything starts', async () => {
    const { app, page } = await launch(browser);
    try {
        makeFiles(app.dirs.home, FILES);
        await scanFolder(page, path.join(app.dirs.home, 'set'));
        await waitRows(page, 4);
        const supported = await page.evaluate((rows) => view.CanReflink(rows),
            [[true, path.join(app.dirs.home, 'set/b') + '/', 'report.', 'txt']]);
        await page.click('#chkHeader');
        await page.selectOption('#selAction', 'reflink');
        await page.click('#btnActSelect');
        if (supported === 1) {
            await answerBox(page, 'btnYes');
            const done = await finalMessage(page);
            assert.equal(done.text, 'Successfully replaced 2 files with reflinks');
        } else {
            const told = await answerBox(page);
            assert.match(told.text, /cannot share space between files \(reflink\); nothing was changed/);
            const before = fs.statSync(path.join(app.dirs.home, 'set/b/report.txt'));
            assert.equal(before.nlink, 1);
        }
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('reflinks on XFS: each file keeps its inode and its content', async (t) => {
    const mountPoint = tempDir('xfs');
    const image = mountPoint + '.img';
    const made = spawnSync('sh', ['-c', `truncate -s 320M '${image}' && mkfs.xfs -q -f -m reflink=1 '${image}' && mount -o loop '${image}' '${mountPoint}'`]);
    if (made.status !== 0) {
        fs.rmSync(image, { force: true });
        t.skip('cannot make and loop-mount an XFS image here (needs root, xfsprogs and a loop device)');
        return;
    }
    const { app, page } = await launch(browser);
    try {
        makeFiles(mountPoint, FILES);
        const before = fs.statSync(path.join(mountPoint, 'set/b/photo.jpg'));
        await scanFolder(page, path.join(mountPoint, 'set'));
        await waitRows(page, 4);
        await runAction(page, 'reflink');
        const done = await finalMessage(page);
        assert.equal(done.text, 'Successfully replaced 2 files with reflinks');
        const after = fs.statSync(path.join(mountPoint, 'set/b/photo.jpg'));
        assert.equal(after.ino, before.ino);
        assert.equal(after.mtimeMs, before.mtimeMs);
        assert.deepEqual(fs.readFileSync(path.join(mountPoint, 'set/b/photo.jpg')), Buffer.alloc(4096, 7));
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
        execFileSync('umount', ['-l', mountPoint]);
        fs.rmSync(image, { force: true });
        fs.rmSync(mountPoint, { recursive: true, force: true });
    }
});

test('move: the files go below the picked folder by their path under the search folder', async () => {
    const { app, page } = await launch(browser);
    try {
        makeFiles(app.dirs.home, FILES);
        const aside = path.join(app.dirs.home, 'aside');
        fs.mkdirSync(aside);
        await scanFolder(page, path.join(app.dirs.home, 'set'));
        await waitRows(page, 4);
        const ask = await runAction(page, 'move', { folder: aside });
        assert.equal(ask.text, `2 files will be moved to ${aside}, are you sure ?`);
        const done = await finalMessage(page);
        assert.equal(done.text, 'Successfully moved 2 files');
        await waitRows(page, 2);
        const rows = await gridRows(page);
        for (const r of rows) assert.ok(fs.existsSync(r.folder + r.name));
        const moved = rows.map((r) => path.join(aside, path.relative(path.join(app.dirs.home, 'set'), r.folder) === 'a' ? 'b' : 'a', r.name));
        for (const m of moved) assert.ok(fs.existsSync(m), m);

        // A folder inside the search folder is refused, and nothing moves.
        await page.evaluate(() => { DataSource.m_dataSource[0][0] = true; });
        await page.selectOption('#selAction', 'move');
        await page.click('#btnActSelect');
        await page.waitForSelector('#folderChooser .chooser-path');
        await page.fill('#chooserPath', path.join(app.dirs.home, 'set', 'a'));
        await page.click('#chooserOk');
        await answerBox(page, 'btnYes');
        const refused = await answerBox(page);
        assert.match(refused.text, /must exist and lie outside every search folder/);
        for (const r of rows) assert.ok(fs.existsSync(r.folder + r.name));
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('undo: the trash message puts the files back where they were', async () => {
    const { app, page } = await launch(browser);
    try {
        const files = makeFiles(app.dirs.home, FILES);
        await scanFolder(page, path.join(app.dirs.home, 'set'));
        await waitRows(page, 4);
        await page.click('#chkHeader');
        await page.click('#btnTrashSelect');
        await answerBox(page, 'btnYes');
        await topPopup(page).locator('html#msgbox-window #btnYes:visible').waitFor({ timeout: 30000 });
        const done = await answerBox(page, 'btnYes');
        assert.equal(done.text, 'Successfully moved 2 files to the trash');
        assert.deepEqual(done.buttons, ['btnYes', 'btnOk']);
        const undone = await answerBox(page);
        assert.equal(undone.text, '2 files were put back');
        assert.deepEqual(undone.buttons, ['btnOk']);
        for (const full of Object.values(files)) assert.ok(fs.existsSync(full), full);
        assert.deepEqual(fs.readdirSync(path.join(app.dirs.xdgData, 'Trash', 'info')), []);
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('export: the sets go to the named file in the scan command\'s CSV form', async () => {
    const { app, page } = await launch(browser);
    try {
        makeFiles(app.dirs.home, FILES);
        const root = path.join(app.dirs.home, 'set');
        await scanFolder(page, root);
        await waitRows(page, 4);
        await page.click('#btnExport');
        await page.waitForSelector('#folderChooser #chooserFile');
        assert.equal(await page.inputValue('#chooserFile'), 'merravine-results.csv');
        await page.fill('#chooserPath', app.dirs.home);
        await page.fill('#chooserFile', 'sets.csv');
        await page.click('#chooserOk');
        const told = await answerBox(page);
        const file = path.join(app.dirs.home, 'sets.csv');
        assert.equal(told.text, `The results were saved to ${file}`);
        const exported = fs.readFileSync(file, 'utf8');
        const printed = execFileSync(BIN, ['scan', '--format', 'csv', root], { encoding: 'utf8' });
        // The same schema: the header and the rows of the scan command, file for file.
        const lines = (text) => text.trim().split('\n');
        assert.equal(lines(exported)[0], lines(printed)[0]);
        assert.deepEqual(lines(exported).slice(1).map((l) => l.split(',')[0]).sort(),
            lines(printed).slice(1).map((l) => l.split(',')[0]).sort());
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});
