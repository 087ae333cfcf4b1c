// The scan page on a tree that takes long to hash (large sparse files, all equal): the
// refusal while a scan runs, the progress texts, and stop, which opens the results with
// what was found so far.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { startBrowser, launch, answerBox, addFolderTyped, waitRows, gridRows } from './harness.mjs';

const FILES = 384;  // sparse, so cheap to make; reading them all outlasts every test step by far
const FILE_BYTES = 1024 * 1024 * 1024;   // sparse: no disk space, but every byte is hashed

let browser;
let app;
let page;
before(async () => {
    browser = await startBrowser();
    ({ app, page } = await launch(browser));
    const root = path.join(app.dirs.home, 'big');
    for (let i = 0; i < FILES; i++) {
        const dir = path.join(root, `d${i % 4}`);
        fs.mkdirSync(dir, { recursive: true });
        const fd = fs.openSync(path.join(dir, `zeros_${i}.bin`), 'w');
        fs.ftruncateSync(fd, FILE_BYTES);
        fs.closeSync(fd);
    }
    await addFolderTyped(page, '#btnAddSearchDir', root);
    await page.click('#btnNextStep');
    await page.waitForFunction(() => document.getElementById('chkAllType')?.dataset.state === 'on');
    // Without the cache, what the first (stopped) scan read is read again: the second scan
    // cannot finish early on what the first one learned.
    await page.setChecked('#chkUseCache', false);
    await page.evaluate(() => view.SetUseCache(0));
});
after(async () => {
    await page.evaluate(() => view.AbortSearch()).catch(() => {});
    await app.stop();
    await browser.close();
});

// Polled from here: an async predicate given to waitForFunction counts its promise as
// truthy at once, so it would not wait at all.
async function waitScanState(state) {
    const deadline = Date.now() + 30000;
    while ((await page.evaluate(() => view.GetScanningInfo()))[0] !== state) {
        if (Date.now() > deadline) throw new Error(`the scan state never became ${state}`);
        await new Promise((resolve) => setTimeout(resolve, 100));
    }
}

test('start is refused with a message while a scan runs', async () => {
    assert.equal(await page.evaluate(() => view.BeginSearch()), 0);
    await page.click('#btnStartScan');
    const box = await answerBox(page);
    assert.equal(box.text, 'Scanning!');
    assert.ok(await page.isVisible('#pageExclure'), 'the page stays');
    await page.evaluate(() => view.AbortSearch());
    await waitScanState(0);
});

test('the scan page shows progress; stop asks, and the results show what was found', async () => {
    await page.click('#btnStartScan');
    await page.waitForSelector('#pageLoading');
    // Wait for the first duplicates; the whole scan would take far longer.
    await page.waitForFunction(() => Number(document.getElementById('scanDupNumber').textContent) > 0, null, { timeout: 60000 });
    const shown = await page.evaluate(() => ({
        phase: document.getElementById('scanPhase').textContent,
        used: document.getElementById('scanUseTime').textContent,
        left: document.getElementById('scanLeaveTime').textContent,
        count: Number(document.getElementById('scanCount').textContent),
        path: document.getElementById('scanPath').textContent,
        bar: document.getElementById('scanProgress').style.width,
    }));
    assert.match(shown.phase, /^(Files|Scanning, please wait)\.{1,5}$/);
    assert.match(shown.used, /^\d\d:\d\d:\d\d$/);
    assert.match(shown.left, /^(\d\d:\d\d:\d\d|--:--:--)$/);
    assert.match(shown.bar, /^\d+%$/);
    assert.ok(shown.path.length > 0);
    assert.ok(shown.count >= 1);

    // The bar and the remaining time come from the search's own measure: once content is
    // being read, the bar has moved and a time is shown.
    await page.waitForFunction(() => /^\d\d:\d\d:\d\d$/.test(document.getElementById('scanLeaveTime').textContent)
        && Number.parseInt(document.getElementById('scanProgress').style.width, 10) > 0, null, { timeout: 60000 });
    const estimate = await page.evaluate(() => view.GetScanEstimate());
    assert.ok(estimate[0] > 0 && estimate[0] < 1000, `progress ${estimate[0]}`);

    // The elapsed time is read from the clock, not counted in polls: a page whose polls
    // came late (here: as if none had come for a minute) still shows the true time.
    await page.evaluate(() => { g_cbTimers = 2; g_scanStart = Date.now() - 61300; });
    await page.waitForFunction(() => document.getElementById('scanUseTime').textContent === '00:01:01');

    // No keeps scanning.
    await page.click('#btnStopScan');
    assert.equal((await answerBox(page, 'btnNo')).text, 'Stop scanning or not?');
    assert.ok(await page.isVisible('#pageLoading'));
    assert.notEqual((await page.evaluate(() => view.GetScanningInfo()))[0], 0);

    await page.click('#btnStopScan');
    await answerBox(page, 'btnYes');
    await page.waitForSelector('#pageResults', { timeout: 30000 });
    await waitRows(page);
    const rows = await gridRows(page);
    assert.ok(rows.length >= 2 && rows.length < FILES, `found so far: ${rows.length}`);
    assert.ok(rows.every((r) => r.name.startsWith('zeros_')));
    assert.equal(rows[0].size, '1.00 GB');
    // The results say that they are what a stopped scan found.
    await page.waitForSelector('#noticePartial:not([hidden])');
    assert.equal(await page.textContent('#noticePartial'), 'The scan was stopped: these results are partial.');
    assert.deepEqual(page.errors, []);
});

