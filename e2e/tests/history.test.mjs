// The scan history page: a finished scan appears in the list, loads into the results page like
// a fresh search, and is deleted one by one or all at once.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { startBrowser, launch, makeFiles, answerBox, scanFolder, gridRows, waitRows } from './harness.mjs';

let browser;
let app;
let page;
before(async () => {
    browser = await startBrowser();
    ({ app, page } = await launch(browser));
});
after(async () => {
    await app.stop();
    await browser.close();
});

async function openHistory() {
    await page.click('#btnMenu');
    await page.click('#menuHistory');
    await page.waitForSelector('#pageHistory');
    await page.waitForFunction(() => document.querySelectorAll('#historyRows .history-row').length > 0
        || !document.getElementById('historyEmpty').hidden);
}

const listed = () => page.$$eval('#historyRows .history-row', (trs) => trs.map((tr) => ({
    id: Number(tr.dataset.id), time: tr.querySelector('.history-time').textContent,
})));

async function goHomeFromResults() {
    await page.click('#btnHome');
    await answerBox(page, 'btnYes');
    await page.waitForSelector('#pageChoisir');
}

test('an empty history says so and has nothing to delete', async () => {
    await openHistory();
    assert.deepEqual(await listed(), []);
    assert.equal(await page.isVisible('#historyEmpty'), true);
    await page.click('#btnHistoryClear');
    assert.equal((await answerBox(page)).text, 'There are no records to delete.');
    await page.click('#btnHistoryHome');
    await page.waitForSelector('#pageChoisir');
});

test('finished scans are listed, load as results, and delete', async () => {
    makeFiles(app.dirs.home, {
        'one/a.txt': 'first scan', 'one/b.txt': 'first scan',
        'two/c.jpg': Buffer.alloc(900, 1), 'two/d.jpg': Buffer.alloc(900, 1), 'two/e.jpg': Buffer.alloc(900, 1),
    });
    await scanFolder(page, path.join(app.dirs.home, 'one'));
    const first = await gridRows(page);
    await goHomeFromResults();
    await scanFolder(page, path.join(app.dirs.home, 'two'));
    await waitRows(page, 3);
    await goHomeFromResults();

    await openHistory();
    const records = await listed();
    assert.equal(records.length, 2);
    assert.ok(records[0].id < records[1].id);
    for (const r of records) assert.match(r.time, /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);

    // Loading the first scan shows its rows like a fresh search.
    await page.click(`#historyRows tr[data-id="${records[0].id}"] .history-load`);
    await page.waitForSelector('#pageResults');
    await waitRows(page, 2);
    assert.deepEqual((await gridRows(page)).map((r) => r.folder + r.name).sort(), first.map((r) => r.folder + r.name).sort());
    assert.equal(await page.getAttribute('#ulShowType', 'value'), '63');

    // Delete one: No keeps it, Yes removes it.
    await openHistory();
    await page.click(`#historyRows tr[data-id="${records[0].id}"] .history-delete`);
    assert.equal((await answerBox(page, 'btnNo')).text, 'Are you sure you want to delete this scan record?');
    assert.equal((await listed()).length, 2);
    await page.click(`#historyRows tr[data-id="${records[0].id}"] .history-delete`);
    await answerBox(page, 'btnYes');
    await page.waitForFunction(() => document.querySelectorAll('#historyRows .history-row').length === 1);
    assert.deepEqual((await listed()).map((r) => r.id), [records[1].id]);

    // Delete all.
    await page.click('#btnHistoryClear');
    assert.equal((await answerBox(page, 'btnYes')).text, 'Are you sure you want to delete all scan records?');
    await page.waitForSelector('#historyEmpty:not([hidden])');
    assert.deepEqual(await page.evaluate(() => view.GetScanReord()), null);
    assert.deepEqual(page.errors, []);
});
