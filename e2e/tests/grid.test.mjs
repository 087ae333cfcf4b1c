// The results grid on five sets of two files: the header box's three states, the whole-set
// warning, the step-by-step counters, size and name texts, tabs, keys and the context menu.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
    startBrowser, launch, makeFiles, answerBox, popupCount, scanFolder, gridRows, counters, waitRows,
} from './harness.mjs';

let browser;
let app;
let page;
before(async () => {
    browser = await startBrowser();
    ({ app, page } = await launch(browser));
    // Five sets of two; sizes 1536, 2000, 3000, 4000, 5000 bytes, kinds picture, document,
    // audio, other (no extension) and archive.
    const files = {};
    const sets = [['p', 'jpg', 1536], ['d', 'txt', 2000], ['m', 'mp3', 3000], ['n', '', 4000], ['z', 'zip', 5000]];
    sets.forEach(([stem, ext, size], i) => {
        const body = Buffer.alloc(size, 65 + i);
        files[`set/${stem}_one${ext ? '.' + ext : ''}`] = body;
        files[`set/more/${stem}_two${ext ? '.' + ext : ''}`] = body;
    });
    makeFiles(app.dirs.home, files);
    await scanFolder(page, app.dirs.home + '/set');
    await waitRows(page, 10);
});
after(async () => {
    await app.stop();
    await browser.close();
});

const rowBox = (i) => page.locator(`#the-grid .vgrid-row[data-index="${i}"] input.row-check`);
const ticks = async () => (await gridRows(page)).map((r) => r.ticked);

test('rows show sizes, names without extension, and alternate set shading', async () => {
    const rows = await gridRows(page);
    assert.deepEqual([...new Set(rows.map((r) => r.group))], [1, 2, 3, 4, 5]);
    assert.equal(rows[0].size, '1.50 KB');
    const noExt = rows.filter((r) => r.name.startsWith('n_'));
    assert.deepEqual(noExt.map((r) => r.ext), ['', '']);
    const nameCell = await page.locator(`#the-grid .vgrid-row[data-index="${rows.indexOf(noExt[0])}"] .col-name`).textContent();
    assert.equal(nameCell, noExt[0].name);
    const classes = await page.$$eval('#the-grid .vgrid-body .vgrid-row:not([hidden])', (trs) => trs.map((t) => t.className.split(' ')[1]));
    assert.deepEqual(classes, ['color', 'color', 'even', 'even', 'color', 'color', 'even', 'even', 'color', 'color']);
    assert.equal(await page.locator('#the-grid .vgrid-body .vgrid-row').count(), 64);
});

test('ticking counts step by step; a whole set ticked warns and stays ticked', async () => {
    await rowBox(0).check();
    assert.deepEqual(await counters(page), { count: '1', size: '1.50KB', header: 'mixed' });
    assert.equal(await popupCount(page), 0, 'one of two ticked: no warning');
    await rowBox(1).check();
    const warn = await answerBox(page);
    assert.match(warn.text, /^p_(one|two)\.jpg similar files have been checked, it is recommended to keep one!$/);
    assert.deepEqual((await ticks()).slice(0, 2), [true, true]);
    assert.deepEqual(await counters(page), { count: '2', size: '3.00KB', header: 'mixed' });
    await rowBox(1).uncheck();
    await rowBox(0).uncheck();
    assert.deepEqual(await counters(page), { count: '0', size: '0B', header: 'off' });
});

test('header box: mixed keeps the first of each set, on asks first, off clears', async () => {
    // off -> mixed: all but the first row of each set.
    await page.click('#chkHeader');
    assert.deepEqual(await ticks(), [false, true, false, true, false, true, false, true, false, true]);
    assert.equal((await counters(page)).count, '5');
    assert.equal((await counters(page)).header, 'mixed');
    // mixed -> on asks; No leaves the rows and shows mixed.
    await page.click('#chkHeader');
    const ask = await answerBox(page, 'btnNo');
    assert.equal(ask.text, 'All duplicate files will be checked, are you sure you want to continue?');
    assert.equal((await counters(page)).header, 'mixed');
    assert.equal((await ticks()).filter(Boolean).length, 5);
    // Again, and Yes ticks every row.
    await page.click('#chkHeader');
    await answerBox(page, 'btnYes');
    assert.deepEqual(await counters(page), { count: '10', size: '30.34KB', header: 'on' });
    assert.equal(await page.locator('#the-grid input.row-check:checked').count(), 10);
    // on -> off unticks everything.
    await page.click('#chkHeader');
    assert.deepEqual(await counters(page), { count: '0', size: '0B', header: 'off' });
    // The first row of every set is unticked by the mixed step even when it was ticked.
    await rowBox(0).check();
    await page.click('#chkHeader');
    await answerBox(page, 'btnYes');
    await page.click('#chkHeader');
    await page.click('#chkHeader');
    assert.deepEqual(await ticks(), [false, true, false, true, false, true, false, true, false, true]);
    assert.equal((await counters(page)).count, '5');
});

test('a tab shows its kind only, clears the counters, and rows arrive unticked', async () => {
    assert.equal((await counters(page)).count, '5');
    await page.click('#ulShowType li[value="16"]');
    await waitRows(page, 2, 'jpg');
    assert.deepEqual(await counters(page), { count: '0', size: '0 B', header: 'off' });
    assert.deepEqual((await gridRows(page)).map((r) => r.ext), ['jpg', 'jpg']);
    assert.equal(await page.getAttribute('#ulShowType', 'value'), '16');
    await page.click('#ulShowType li[value="32"]');
    await waitRows(page, 2, '');
    assert.deepEqual((await gridRows(page)).map((r) => r.ext), ['', '']);
    await page.click('#ulShowType li[value="8"]');
    await waitRows(page, 0);
    assert.equal(await page.locator('#the-grid .vgrid-body .vgrid-row:not([hidden])').count(), 0);
    await page.click('#ulShowType li[value="63"]');
    await waitRows(page, 10);
    assert.deepEqual(await ticks(), new Array(10).fill(false));
});

test('sets left out are told once per scan, the grid fills, and scrolls with the wheel, the bar and keys', async () => {
    // The program found more sets than one delivery holds; the rows are those it delivered.
    const deliver = () => page.evaluate(() => {
        window.realView = window.realView || window.view;
        const real = window.realView;
        window.view = new Proxy({}, { get: (_, name) => name === 'GetSetCount' ? async () => 7500 : real[name] });
        const rows = [];
        for (let i = 0; i < 10000; i++) {
            const g = (i >> 1) + 1;
            rows.push([0, '/data/many/', `f${i}.`, 'bin', String(100 + g), String(100 + g), '0', '', '86400', g, 32, 0]);
        }
        DuplicateFileToUI(rows);
    });
    await deliver();
    const warn = await answerBox(page);
    assert.equal(warn.text,
        'Showing 5000 of the 7500 sets found. Deal with these first; the others appear once these are gone.');
    assert.equal(await popupCount(page), 0);
    assert.equal(await page.textContent('#noticeCapped'), 'Showing 5000 of the 7500 sets found.');
    // Another delivery of the same scan (a tab switch) tells it in the line, not in a box.
    await deliver();
    await page.waitForTimeout(300);
    assert.equal(await popupCount(page), 0);
    assert.equal(await page.isVisible('#noticeCapped'), true);
    assert.equal(await page.locator('#the-grid .vgrid-body .vgrid-row').count(), 64);
    const row0 = await page.$$eval('#the-grid .vgrid-row[data-index="0"] .vgrid-cell', (tds) => tds.map((td) => td.textContent));
    assert.deepEqual(row0.slice(1, 5), ['f0.bin', '/data/many/', 'bin', '101.00 B']);
    // Dates read " YYYY-MM-DD hh:mm:ss", the year padded to five; an empty time stays empty.
    assert.match(row0[5], /^ 19(69|70)-\d\d-\d\d \d\d:\d\d:\d\d$/);
    assert.equal(row0[6], '');
    assert.match(row0[7], /^ 1970-01-0[12] \d\d:\d\d:\d\d$/);

    const fit = await page.evaluate(() => g_grid.fit());
    // The grid takes the height the page leaves it: more rows than its old 430 px held.
    assert.ok(fit >= 14 && fit <= 20, `rows that fit: ${fit}`);
    // One wheel notch down scrolls by fit / 4 rows.
    await page.hover('#the-grid .vgrid-row[data-index="3"]');
    await page.mouse.wheel(0, 100);
    await page.waitForFunction((n) => g_grid.first() === n, Math.trunc(fit / 4));
    await page.mouse.wheel(0, -100);
    await page.waitForFunction(() => g_grid.first() === 0);
    // The scrollbar's position maps onto the first row.
    await page.$eval('#the-grid .vgrid-scroll', (bar) => { bar.scrollTop = bar.scrollHeight; });
    await page.waitForFunction((n) => g_grid.first() === n, 10000 - fit);
    // The rows are filled a moment after a scrollbar move, not with it.
    await page.waitForFunction(() => {
        const shown = document.querySelectorAll('#the-grid .vgrid-body .vgrid-row:not([hidden])');
        return shown.length > 0 && shown[shown.length - 1].dataset.index === '9999';
    });
    await page.click('#the-grid .vgrid-row[data-index="9995"] .col-path');
    await page.keyboard.press('Home');
    assert.deepEqual(await page.evaluate(() => [g_grid.first(), g_grid.currentRow()]), [0, 0]);
    await page.keyboard.press('PageDown');
    assert.equal(await page.evaluate(() => g_grid.currentRow()), fit - 1);
    await page.keyboard.press('End');
    assert.deepEqual(await page.evaluate(() => [g_grid.first(), g_grid.currentRow()]), [10000 - fit, 9999]);

    await page.evaluate(() => { window.view = window.realView; });
    await page.click('#ulShowType li[value="63"]');
    await waitRows(page, 10);
    await page.waitForSelector('#noticeCapped', { state: 'hidden' });
});

test('keys move the current row; the context menu asks the file manager for the row', async () => {
    await page.click('#the-grid .vgrid-row[data-index="2"] .col-path');
    assert.equal(await page.evaluate(() => g_grid.currentRow()), 2);
    await page.keyboard.press('ArrowDown');
    await page.keyboard.press('ArrowDown');
    assert.equal(await page.evaluate(() => g_grid.currentRow()), 4);
    await page.keyboard.press('End');
    assert.equal(await page.evaluate(() => g_grid.currentRow()), 9);
    await page.keyboard.press('Home');
    assert.equal(await page.evaluate(() => g_grid.currentRow()), 0);
    assert.equal(await page.locator('#the-grid .vgrid-row.current').getAttribute('data-index'), '0');

    // The file manager is an edge a test must not open for real: record the request instead.
    await page.evaluate(() => {
        const real = window.view;
        window.shownInFileManager = [];
        window.view = new Proxy({}, { get: (_, name) => name === 'ShowInFileManager'
            ? async (p) => { window.shownInFileManager.push(p); return 0; } : real[name] });
    });
    await page.click('#the-grid .vgrid-row[data-index="3"] .col-name', { button: 'right' });
    await page.click('#menuOpenFilePath');
    const rows = await gridRows(page);
    assert.deepEqual(await page.evaluate(() => window.shownInFileManager), [rows[3].folder + rows[3].name]);
    assert.deepEqual(page.errors, []);
});
