// The results page on real files: the Select menu's rules and the row menu's folder rules,
// protected rows, sorting with sets kept together, the keyboard and the mouse on the grid,
// Escape on every window over the page, the default No of a question, totals and the space
// a selection frees with hard links listed or counted once.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
    startBrowser, launch, makeFiles, answerBox, topPopup, popupCount, gridRows, counters, waitRows,
    scanFolder,
} from './harness.mjs';

let browser;
before(async () => { browser = await startBrowser(); });
after(async () => { await browser.close(); });

const setTime = (file, seconds) => fs.utimesSync(file, seconds, seconds);

// Three sets below root/A and root/B with known modification times:
//   X: A/x.txt 1000, B/x.txt 3000, B/sub/x.txt 2000
//   Y: A/y.bin 5000, B/y.bin 4000
//   Z: B/z1.dat 6000, B/z2.dat 7000
function makeRuleTree(root) {
    const f = makeFiles(root, {
        'A/x.txt': 'xxxx content of x', 'B/x.txt': 'xxxx content of x', 'B/sub/x.txt': 'xxxx content of x',
        'A/y.bin': Buffer.alloc(3000, 9), 'B/y.bin': Buffer.alloc(3000, 9),
        'B/z1.dat': Buffer.alloc(700, 3), 'B/z2.dat': Buffer.alloc(700, 3),
    });
    const times = { 'A/x.txt': 1000, 'B/x.txt': 3000, 'B/sub/x.txt': 2000, 'A/y.bin': 5000, 'B/y.bin': 4000,
        'B/z1.dat': 6000, 'B/z2.dat': 7000 };
    for (const [rel, t] of Object.entries(times)) setTime(f[rel], t);
    return f;
}

// The rows as relative paths, grouped by set in the order shown: [[{rel, ticked}]].
async function setsShown(page, root) {
    const rows = await gridRows(page);
    const sets = [];
    let last = null;
    for (const r of rows) {
        if (r.group !== last) sets.push([]);
        last = r.group;
        sets[sets.length - 1].push({ rel: path.relative(root, r.folder + r.name), ticked: r.ticked });
    }
    return sets;
}

// The unticked names of each set, keyed by the set's first letter, sorted.
async function kept(page, root) {
    const out = {};
    for (const set of await setsShown(page, root)) {
        const key = path.basename(set[0].rel)[0];
        out[key] = set.filter((r) => !r.ticked).map((r) => r.rel).sort();
    }
    return out;
}

async function selectRule(page, id) {
    const runs = await page.evaluate(() => Number(document.getElementById('pageResults').dataset.rulesRun) || 0);
    await page.click('#btnSelectMenu');
    await page.click('#menu-' + id);
    await page.waitForFunction((n) => Number(document.getElementById('pageResults').dataset.rulesRun) > n, runs);
}

async function rowMenu(page, rel, root, id) {
    const rows = await gridRows(page);
    const i = rows.findIndex((r) => r.folder + r.name === path.join(root, rel));
    assert.ok(i >= 0, rel);
    await page.click(`#the-grid .vgrid-row[data-index="${i}"] .col-name`, { button: 'right' });
    await page.click('#' + id);
}

test('every Select rule and folder rule keeps one file per set and counts what it ticks', async () => {
    const { app, page } = await launch(browser);
    try {
        const root = path.join(app.dirs.home, 'rules');
        makeRuleTree(root);
        await scanFolder(page, [path.join(root, 'A'), path.join(root, 'B')]);
        await waitRows(page, 7);

        await selectRule(page, 'allButNewest');
        assert.deepEqual(await kept(page, root), { x: ['B/x.txt'], y: ['A/y.bin'], z: ['B/z2.dat'] });
        assert.equal((await counters(page)).count, '4');

        await selectRule(page, 'allButOldest');
        assert.deepEqual(await kept(page, root), { x: ['A/x.txt'], y: ['B/y.bin'], z: ['B/z1.dat'] });

        // The first folder of the search list is A; set Z has no file there and keeps its first row.
        await selectRule(page, 'allButPriority');
        const first = (await setsShown(page, root)).find((s) => s[0].rel.startsWith('B/z'))[0].rel;
        assert.deepEqual(await kept(page, root), { x: ['A/x.txt'], y: ['A/y.bin'], z: [first] });

        // Invert ticks what was kept and unticks the rest: no set ends all ticked.
        await selectRule(page, 'invert');
        const inverted = await kept(page, root);
        assert.deepEqual(inverted.x, ['B/sub/x.txt', 'B/x.txt']);
        assert.deepEqual(inverted.y, ['B/y.bin']);
        assert.equal(inverted.z.length, 1);

        await selectRule(page, 'allButFirst');
        for (const set of await setsShown(page, root)) assert.deepEqual(set.map((r) => r.ticked), set.map((_, i) => i > 0));
        assert.equal((await counters(page)).header, 'mixed');

        await selectRule(page, 'clear');
        assert.deepEqual(await counters(page), { count: '0', size: '0B', header: 'off' });

        // Row menu: every file in B (not B/sub), but set Z, all in B, keeps one.
        await rowMenu(page, 'B/y.bin', root, 'menuSelInFolder');
        const inB = await kept(page, root);
        assert.deepEqual(inB.x, ['A/x.txt', 'B/sub/x.txt']);
        assert.deepEqual(inB.y, ['A/y.bin']);
        assert.equal(inB.z.length, 1);
        await rowMenu(page, 'B/x.txt', root, 'menuUnselInFolder');
        assert.equal((await counters(page)).count, '0');
        await rowMenu(page, 'A/x.txt', root, 'menuSelExceptFolder');
        const exceptA = await kept(page, root);
        assert.deepEqual(exceptA.x, ['A/x.txt']);
        assert.deepEqual(exceptA.y, ['A/y.bin']);
        assert.equal(exceptA.z.length, 1);
        assert.equal((await counters(page)).count, '4');
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('protected rows show a lock and are never ticked: not by click, Space, rule or header', async () => {
    const { app, page } = await launch(browser);
    try {
        const root = path.join(app.dirs.home, 'prot');
        makeRuleTree(root);
        await page.evaluate((dir) => view.SetProtectDirectory([dir]), path.join(root, 'A'));
        await scanFolder(page, [root]);
        await waitRows(page, 7);
        const rows = await gridRows(page);
        const locked = rows.map((r, i) => [r, i]).filter(([r]) => r.folder === path.join(root, 'A') + '/');
        assert.equal(locked.length, 2);
        for (const [, i] of locked) {
            const tr = page.locator(`#the-grid .vgrid-row[data-index="${i}"]`);
            assert.match(await tr.getAttribute('class'), /\bprotected\b/);
            assert.equal(await tr.locator('input.row-check').isDisabled(), true);
            await tr.locator('input.row-check').click({ force: true });
            await tr.locator('.col-path').click();
            await page.keyboard.press(' ');
        }
        assert.equal((await counters(page)).count, '0');
        for (const rule of ['allButNewest', 'allButOldest', 'allButPriority', 'invert', 'allButFirst']) {
            await selectRule(page, rule);
            const now = await gridRows(page);
            for (const [, i] of locked) assert.equal(now[i].ticked, false, `${rule} ticked a protected row`);
        }
        await selectRule(page, 'clear');
        await page.click('#chkHeader');   // -> mixed
        await page.click('#chkHeader');   // -> on, asks first
        await answerBox(page, 'btnYes');
        const all = await gridRows(page);
        assert.equal(all.filter((r) => r.ticked).length, 5);
        for (const [, i] of locked) assert.equal(all[i].ticked, false);
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('sorting by a column keeps sets together and a third click brings the described order back', async () => {
    const { app, page } = await launch(browser);
    try {
        const root = path.join(app.dirs.home, 'sort');
        makeRuleTree(root);
        makeFiles(root, { 'C/a-first.txt': 'xxxx content of x' });
        setTime(path.join(root, 'C/a-first.txt'), 8000);
        await scanFolder(page, [root]);
        await waitRows(page, 8);
        const described = (await gridRows(page)).map((r) => r.folder + r.name);
        const together = (rows) => {
            const seen = new Set();
            let last = null;
            for (const r of rows) {
                if (r.group !== last && seen.has(r.group)) return false;
                seen.add(r.group);
                last = r.group;
            }
            return true;
        };
        const nameHead = page.locator('#the-grid .vgrid-hcell[data-column="1"]');
        await nameHead.click();
        let rows = await gridRows(page);
        assert.ok(together(rows));
        assert.equal(await nameHead.getAttribute('aria-sort'), 'ascending');
        // Within each set by name; the sets by their first name.
        const firsts = [];
        for (const set of await setsShown(page, root)) {
            const names = set.map((r) => path.basename(r.rel));
            assert.deepEqual(names, [...names].sort());
            firsts.push(names[0]);
        }
        assert.deepEqual(firsts, [...firsts].sort());
        assert.equal(firsts[0], 'a-first.txt');

        await nameHead.click();
        rows = await gridRows(page);
        assert.ok(together(rows));
        assert.equal(path.basename(rows[0].folder + rows[0].name)[0], 'z');
        assert.equal(await nameHead.getAttribute('aria-sort'), 'descending');

        await nameHead.click();
        assert.deepEqual((await gridRows(page)).map((r) => r.folder + r.name), described);
        assert.equal(await nameHead.getAttribute('aria-sort'), 'none');

        // By date modified: the newest set first when descending, newest row first inside it.
        const modHead = page.locator('#the-grid .vgrid-hcell[data-column="6"]');
        await modHead.click();
        await modHead.click();
        rows = await gridRows(page);
        assert.ok(together(rows));
        assert.equal(rows[0].folder + rows[0].name, path.join(root, 'C/a-first.txt'));
        // Shading alternates per set as shown.
        const shades = await page.$$eval('#the-grid .vgrid-body .vgrid-row:not([hidden])', (trs) => trs.map((t) => t.classList.contains('color')));
        const bySet = rows.map((r) => r.group);
        for (let i = 1; i < bySet.length; i++) assert.equal(shades[i] === shades[i - 1], bySet[i] === bySet[i - 1]);
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('keyboard and mouse: Space ticks, Enter and double click open, tabs by keys, Escape closes windows', async () => {
    const { app, page } = await launch(browser);
    try {
        const root = path.join(app.dirs.home, 'keys');
        makeRuleTree(root);
        await scanFolder(page, [root]);
        await waitRows(page, 7);
        // Opening a file starts another program: record the request instead.
        await page.evaluate(() => {
            const real = window.view;
            window.opened = [];
            window.view = new Proxy({}, { get: (_, name) => name === 'OpenFile'
                ? async (p) => { window.opened.push(p); return 0; } : real[name] });
        });
        await page.click('#the-grid .vgrid-row[data-index="1"] .col-path');
        await page.keyboard.press(' ');
        assert.equal((await gridRows(page))[1].ticked, true);
        assert.equal((await counters(page)).count, '1');
        await page.keyboard.press('ArrowDown');
        await page.keyboard.press(' ');
        await page.keyboard.press(' ');
        await page.keyboard.press('ArrowUp');
        await page.keyboard.press(' ');
        assert.deepEqual((await gridRows(page)).slice(0, 3).map((r) => r.ticked), [false, false, false]);
        const rows = await gridRows(page);
        // The details line names the focused row whole.
        assert.match(await page.textContent('#rowDetails'), new RegExp('^' + (rows[1].folder + rows[1].name).replace(/[.*+?^${}()|[\]\\]/g, '\\$&')));
        assert.equal(await page.getAttribute('#the-grid .vgrid-row[data-index="1"] .col-name', 'title'), rows[1].folder + rows[1].name);
        await page.keyboard.press('Enter');
        await page.dblclick('#the-grid .vgrid-row[data-index="3"] .col-size');
        assert.deepEqual(await page.evaluate(() => window.opened), [rows[1].folder + rows[1].name, rows[3].folder + rows[3].name]);

        // Kind tabs: focus the active tab, arrows move and show the next kind.
        await page.focus('#ulShowType li.active');
        await page.keyboard.press('ArrowRight');
        assert.equal(await page.getAttribute('#ulShowType', 'value'), '1');
        await page.keyboard.press('ArrowRight');
        assert.equal(await page.getAttribute('#ulShowType', 'value'), '2');
        await waitRows(page, 3, 'txt');
        await page.keyboard.press('Home');
        assert.equal(await page.getAttribute('#ulShowType', 'value'), '63');
        await waitRows(page, 7);

        // Escape: the context menu, the About window, a message box, the list of unread files.
        await page.click('#the-grid .vgrid-row[data-index="0"] .col-name', { button: 'right' });
        await page.keyboard.press('Escape');
        assert.equal(await page.locator('.context-menu').count(), 0);
        await page.click('#btnMenu');
        await page.click('#menuAbout');
        await topPopup(page).locator('#btnAboutOk').waitFor();
        await page.keyboard.press('Escape');
        await page.waitForFunction(() => document.querySelectorAll('.popup-layer').length === 0);
        await page.click('#btnHome');
        await topPopup(page).locator('html#msgbox-window:not(.lang-pending) #btnNo').waitFor();
        await page.keyboard.press('Escape');
        await page.waitForFunction(() => document.querySelectorAll('.popup-layer').length === 0);
        assert.ok(await page.isVisible('#pageResults'));
        await page.evaluate(() => {
            const real = window.view;
            window.view = new Proxy({}, { get: (_, name) => name === 'GetScanProblems'
                ? async () => [2, 1, ['/gone/a.bin', '/gone/b.bin', '/gone/dir'], 1] : real[name] });
        });
        assert.equal(await page.isVisible('#noticePartial'), false, 'the scan looked at every file');
        await page.evaluate(() => ShowScanNotices());
        assert.equal(await page.textContent('#noticePartial'), 'The scan was stopped: these results are partial.');
        assert.equal(await page.textContent('#problemText'), '3 files or folders could not be read or listed.');
        await page.click('#btnShowProblems');
        await page.waitForSelector('#problemWindow li');
        assert.deepEqual(await page.$$eval('#problemWindow li', (lis) => lis.map((l) => l.textContent)),
            ['/gone/a.bin', '/gone/b.bin', '/gone/dir']);
        await page.keyboard.press('Escape');
        assert.equal(await popupCount(page), 0);
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('a question focuses No: Enter on the delete question deletes nothing', async () => {
    const { app, page } = await launch(browser);
    try {
        const root = path.join(app.dirs.home, 'no');
        const f = makeFiles(root, { 'a.txt': 'same text', 'b.txt': 'same text' });
        await scanFolder(page, [root]);
        await waitRows(page, 2);
        await page.click('#chkHeader');
        await page.click('#btnDelSelect');
        const box = topPopup(page);
        await box.locator('html#msgbox-window:not(.lang-pending) #btnNo').waitFor();
        await page.waitForFunction(() => {
            const frame = document.querySelector('.popup-layer iframe');
            return frame && frame.contentDocument.activeElement && frame.contentDocument.activeElement.id === 'btnNo';
        });
        await page.keyboard.press('Enter');
        await page.waitForFunction(() => document.querySelectorAll('.popup-layer').length === 0);
        assert.ok(fs.existsSync(f['a.txt']) && fs.existsSync(f['b.txt']));
        assert.equal((await counters(page)).count, '1');
    } finally {
        await app.stop();
    }
});

test('totals and the space freed with hard links listed, and counted once', async () => {
    const { app, page } = await launch(browser);
    try {
        const root = path.join(app.dirs.home, 'links');
        const size = 4096;
        const f = makeFiles(root, { 'orig.bin': Buffer.alloc(size, 1), 'copy.bin': Buffer.alloc(size, 1),
            'solo.dat': Buffer.alloc(2048, 2) });
        fs.linkSync(f['orig.bin'], path.join(root, 'orig-link.bin'));
        fs.linkSync(f['solo.dat'], path.join(root, 'solo-link.dat'));
        // Every name listed: {orig, orig-link, copy} is one set of two files; {solo, solo-link}
        // is one file with two names, a set that frees nothing.
        await scanFolder(page, [root], { configure: (p) => p.uncheck('#chkCollapseLinks') });
        await waitRows(page, 5);
        const totals = async () => page.evaluate(() => ['totalSets', 'totalFiles', 'totalSpace']
            .map((id) => document.getElementById(id).textContent));
        assert.deepEqual(await totals(), ['2', '3', '4.00KB']);
        const rows = await gridRows(page);
        const at = (name) => rows.findIndex((r) => r.name === name);
        const linkedTitle = await page.getAttribute(`#the-grid .vgrid-row[data-index="${at('orig.bin')}"] .col-name`, 'title');
        assert.match(linkedTitle, /orig-link\.bin/);
        assert.match(await page.getAttribute(`#the-grid .vgrid-row[data-index="${at('orig.bin')}"]`, 'class'), /\blinked\b/);
        const freed = async () => page.textContent('#spanSelFree');
        const tick = (name) => page.locator(`#the-grid .vgrid-row[data-index="${at(name)}"] input.row-check`).check();
        await tick('orig.bin');
        assert.equal(await freed(), '0B', 'its other name keeps the bytes');
        await tick('orig-link.bin');
        assert.equal(await freed(), '4.00KB');
        await tick('solo.dat');
        assert.equal(await freed(), '4.00KB', 'solo has a second name');
        assert.equal((await counters(page)).size, '10.00KB');

        // Counted once (the default): each file is one member; one file with two names is no set.
        await page.click('#btnHome');
        await answerBox(page, 'btnYes');
        await scanFolder(page, [root], { configure: (p) => p.check('#chkCollapseLinks') });
        await waitRows(page, 2);
        assert.deepEqual(await totals(), ['1', '2', '4.00KB']);
        const once = await gridRows(page);
        assert.equal(once.filter((r) => r.name.startsWith('orig')).length, 1);
        // The listed name of a file with two names frees nothing on its own.
        const orig = once.findIndex((r) => r.name.startsWith('orig'));
        await page.locator(`#the-grid .vgrid-row[data-index="${orig}"] input.row-check`).check();
        assert.equal(await freed(), '0B');
        await page.locator(`#the-grid .vgrid-row[data-index="${1 - orig}"] input.row-check`).check();
        await answerBox(page);   // the whole set is ticked
        assert.equal(await freed(), '4.00KB');
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});

test('the page fills its window: every column and date is readable at 902 x 702 and the grid grows', async () => {
    const { app, page } = await launch(browser);
    try {
        const root = path.join(app.dirs.home, 'fill');
        makeRuleTree(root);
        await scanFolder(page, [root]);
        await waitRows(page, 7);
        const measure = () => page.evaluate(() => {
            const view = document.querySelector('#the-grid .vgrid-view');
            const date = document.querySelector('#the-grid .vgrid-row[data-index="0"] .c7');
            const name = document.querySelector('#the-grid .vgrid-row[data-index="0"] .c1');
            return { overflow: view.scrollWidth - view.clientWidth, dateCut: date.scrollWidth > date.clientWidth ? [date.scrollWidth, date.clientWidth, date.textContent] : false,
                fit: g_grid.fit(), name: name.clientWidth, gridBottom: document.getElementById('the-grid').getBoundingClientRect().bottom,
                pageBottom: document.getElementById('pageResults').getBoundingClientRect().bottom };
        });
        const small = await measure();
        assert.ok(small.overflow <= 0, `no horizontal scroll at the smallest size: ${small.overflow}`);
        assert.equal(small.dateCut, false, 'a date is shown whole');
        assert.ok(small.gridBottom < small.pageBottom);
        // A larger window (the window can be resized): more rows, wider names, still no scroll.
        await page.setViewportSize({ width: 1400, height: 1000 });
        await page.evaluate(() => {
            const a = document.getElementById('app');
            a.style.width = '1380px';
            a.style.height = '980px';
        });
        await page.waitForFunction((fit) => g_grid.fit() > fit, small.fit);
        // The viewport and the card change in two steps, and the grid resizes once per frame:
        // the rows may already fit the first step while the second step's widths are pending.
        // Resize observers run after the frame's animation callbacks, so two frames settle it.
        await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))));
        const large = await measure();
        assert.ok(large.name > small.name + 100, `the name column grows: ${small.name} -> ${large.name}`);
        assert.ok(large.overflow <= 0, `no horizontal scroll when larger: ${large.overflow}`);
        assert.deepEqual(page.errors, []);
    } finally {
        await app.stop();
    }
});
