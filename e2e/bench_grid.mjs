// Benchmark of the results grid with 100,000 rows (not part of `npm test`).
//
//   node bench_grid.mjs [--rows N] [--steps N] [--real]
//
// Starts the real program (MERRAVINE_BIN), opens its results page in headless Chromium and
// hands the page N rows of the delivered shape the way the program does, through
// DuplicateFileToUI. With --real it first writes N files (pairs of equal files, 1,000
// sizes) and scans them through the pages, then times GetDuplicateFiles(63) to the first
// frame with the rows, through the program's own delivery. It reports:
//   - delivery to first rows: from the call to the first frame that shows the filled grid
//     (row conversion, data source update, pool fill, layout and paint);
//   - one scroll step: the fill of the visible pool rows for a new first row, with style and
//     layout forced, over sequential steps, page steps and random jumps;
//   - a wheel burst: 20 wheel events in a row end in one fill;
//   - each selection rule on all rows (ticks, counters, space freed and the visible rows
//     redrawn), and a sort by name and by size.
import fs from 'node:fs';
import path from 'node:path';
import { startApp, startBrowser, openApp, scanFolder, answerBox } from './tests/harness.mjs';

const arg = (name, fallback) => {
    const i = process.argv.indexOf(name);
    return i > 0 ? Number(process.argv[i + 1]) : fallback;
};
const ROWS = arg('--rows', 100000);
const STEPS = arg('--steps', 400);
const REAL = process.argv.includes('--real');

function stats(samples) {
    const s = [...samples].sort((a, b) => a - b);
    const at = (q) => s[Math.min(s.length - 1, Math.floor(q * s.length))];
    return { n: s.length, median: at(0.5), p95: at(0.95), max: s[s.length - 1] };
}
const ms = (v) => v.toFixed(2) + ' ms';

const app = await startApp();
const browser = await startBrowser();
try {
    const page = await openApp(browser, app);
    if (REAL) await realDelivery(page);
    await page.evaluate(async () => { await OpenResultsPage(); });

    const firstRows = [];
    for (let run = 0; run < 3; run++) {
        firstRows.push(await page.evaluate((n) => new Promise((resolve) => {
            const rows = new Array(n);
            for (let i = 0; i < n; i++) {
                const g = (i >> 1) + 1;
                const size = String(1000 + g * 37);
                // Every tenth set holds two names of one file, and every 50th row is protected.
                const inode = String(g % 10 === 0 ? 1000000 + g : 2000000 + i);
                rows[i] = [0, `/home/user/photos/album ${g % 977}/`, `IMG_${i}.`, i % 3 ? 'jpg' : 'png', size, size,
                    String(1650550507 + i), String(1650550507 + 2 * i), String(1650550507 + 3 * i), g, 16,
                    i % 50 === 0 ? 1 : 0, '2049', inode, g % 10 === 0 ? 2 : 1];
            }
            const t0 = performance.now();
            window.ShowTips = () => {};   // the 10K notice would only add a popup to the timing
            DuplicateFileToUI(rows);
            void document.getElementById('the-grid').offsetHeight;
            requestAnimationFrame(() => resolve(performance.now() - t0));
        }), ROWS));
    }
    const shown = await page.evaluate(() => document.querySelectorAll('#the-grid .vgrid-body .vgrid-row:not([hidden])').length);

    const steps = await page.evaluate((count) => {
        const grid = g_grid;
        const fit = grid.fit();
        const total = DataSource.rowCount();
        const table = document.querySelector('#the-grid .vgrid-inner');
        const time = (first) => {
            const t0 = performance.now();
            grid.show(first, false);
            void table.offsetHeight;   // style and layout of the refilled rows
            return performance.now() - t0;
        };
        const out = { sequential: [], page: [], random: [] };
        let first = 0;
        for (let i = 0; i < count; i++) out.sequential.push(time(++first));
        for (let i = 0; i < count; i++) out.page.push(time((first += fit) % total));
        let seed = 12345;
        for (let i = 0; i < count; i++) {
            seed = (seed * 1103515245 + 12345) % 2147483648;
            out.random.push(time(seed % total));
        }
        return out;
    }, STEPS);

    const wheel = await page.evaluate(() => new Promise((resolve) => {
        const grid = g_grid;
        grid.show(50000, false);
        const view = document.querySelector('#the-grid .vgrid-view');
        let fills = 0;
        const realFill = grid.fill.bind(grid);
        grid.fill = () => { fills++; realFill(); };
        const t0 = performance.now();
        for (let i = 0; i < 20; i++) view.dispatchEvent(new WheelEvent('wheel', { deltaY: 100, deltaMode: 0, cancelable: true }));
        setTimeout(() => requestAnimationFrame(() => resolve({ fills, first: grid.first(), ms: performance.now() - t0 })), 30);
    }));

    const rules = await page.evaluate(() => {
        const dirs = ['/home/user/photos/album 7', '/home/user/photos/album 3', '/home/user/photos'];
        const folder = '/home/user/photos/album 3/';
        const runs = [
            ['all but first', SELECT_RULES.ALL_BUT_FIRST], ['all but newest', SELECT_RULES.ALL_BUT_NEWEST],
            ['all but oldest', SELECT_RULES.ALL_BUT_OLDEST], ['all but priority', SELECT_RULES.ALL_BUT_PRIORITY, dirs],
            ['invert', SELECT_RULES.INVERT], ['clear', SELECT_RULES.CLEAR],
            ['select in folder', SELECT_RULES.IN_FOLDER, folder], ['unselect in folder', SELECT_RULES.NOT_IN_FOLDER, folder],
            ['select except folder', SELECT_RULES.EXCEPT_FOLDER, folder],
        ];
        const out = [];
        for (const [name, rule, arg] of runs) {
            const samples = [];
            for (let k = 0; k < 5; k++) {
                const t0 = performance.now();
                ApplySelectRule(rule, arg);
                samples.push(performance.now() - t0);
            }
            out.push([name, samples]);
        }
        for (const [name, column] of [['sort by name', 1], ['sort by size', 4]]) {
            const t0 = performance.now();
            OnSort(column);
            out.push([name, [performance.now() - t0]]);
            OnSort(column);
            OnSort(column);
        }
        return out;
    });

    console.log(`rows delivered: ${ROWS}, pool rows shown: ${shown}`);
    console.log(`delivery to first rows (3 runs): ${firstRows.map(ms).join(', ')}`);
    for (const [kind, samples] of Object.entries(steps)) {
        const s = stats(samples);
        console.log(`scroll step, ${kind.padEnd(10)} n=${s.n} median ${ms(s.median)} p95 ${ms(s.p95)} max ${ms(s.max)}`);
    }
    for (const [name, samples] of rules) {
        const s = stats(samples);
        console.log(`${name.padEnd(22)} n=${s.n} median ${ms(s.median)} max ${ms(s.max)}`);
    }
    console.log(`wheel burst of 20 notches: ${wheel.fills} fill(s), first row ${wheel.first}, ${ms(wheel.ms)} to the next frame`);
} finally {
    await browser.close();
    await app.stop();
}

// Writes ROWS files, scans them, and times one delivery of all rows by the program.
async function realDelivery(page) {
    const root = path.join(app.dirs.home, 'bench');
    const t0 = Date.now();
    for (let i = 0; i < ROWS / 2; i++) {
        const size = 100 + (i % 1000);
        const body = `pair ${i} `.padEnd(size, '#');
        const dir = path.join(root, `d${i % 200}`);
        if (i < 200) fs.mkdirSync(dir, { recursive: true });
        fs.writeFileSync(path.join(dir, `a${i}.dat`), body);
        fs.writeFileSync(path.join(dir, `b${i}.dat`), body);
    }
    const t1 = Date.now();
    await scanFolder(page, root).catch(() => {});
    await answerBox(page).catch(() => {});   // the 10K notice
    const t2 = Date.now();
    const timing = await page.evaluate(() => new Promise((resolve) => {
        const real = window.DuplicateFileToUI;
        window.ShowTips = () => {};
        const t0 = performance.now();
        window.DuplicateFileToUI = (rows) => {
            const arrived = performance.now();
            real(rows);
            void document.getElementById('the-grid').offsetHeight;
            requestAnimationFrame(() => {
                window.DuplicateFileToUI = real;
                resolve({ rows: rows.length, arrived: arrived - t0, shown: performance.now() - t0 });
            });
        };
        view.GetDuplicateFiles(63);
    }));
    console.log(`real files: wrote ${ROWS} in ${t1 - t0} ms, scan and first delivery ${t2 - t1} ms`);
    console.log(`real delivery of ${timing.rows} rows: call to arrival ${timing.arrived.toFixed(0)} ms, ` +
        `to first rows shown ${timing.shown.toFixed(0)} ms (page share ${(timing.shown - timing.arrived).toFixed(0)} ms)`);
}
