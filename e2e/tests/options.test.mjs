// Pages 1 and 2: every refusal message, the size limits at their edges, what is stored when,
// and a scan whose limits leave no room (it opens an empty results page).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
    startBrowser, launch, makeFiles, answerBox, popupCount, addFolderTyped, listedFolders, clearFolders, counters,
} from './harness.mjs';

let browser;
let app;
let page;
before(async () => {
    browser = await startBrowser();
    ({ app, page } = await launch(browser));
    makeFiles(app.dirs.home, { 'scan/a.txt': 'x', 'scan/b.txt': 'x', 'skip/c.txt': 'y' });
});
after(async () => {
    await app.stop();
    await browser.close();
});

const TIPS = 'Tips';

async function refusal(selector) {
    await page.click(selector);
    const box = await answerBox(page);
    assert.equal(box.title, TIPS);
    assert.deepEqual(box.buttons, ['btnOk']);
    return box.text;
}

async function setLimit(which, ticked, number, unit) {
    await page.setChecked(`#chk${which}Size`, ticked);
    if (!ticked) await page.evaluate((w) => { // the field keeps its value while disabled
        document.getElementById(`num${w}Size`).disabled = false;
        document.getElementById(`unit${w}Size`).disabled = false;
    }, which);
    await page.fill(`#num${which}Size`, String(number));
    await page.selectOption(`#unit${which}Size`, String(unit));
    if (!ticked) await page.evaluate((w) => {
        document.getElementById(`num${w}Size`).disabled = true;
        document.getElementById(`unit${w}Size`).disabled = true;
    }, which);
}

const settings = () => page.evaluate(() => view.GetSettings());

test('page 1 refuses an empty list and moves on with folders', async () => {
    // With nothing stored, the home folder is offered.
    await page.waitForSelector('#listSearchDir .dir-entry');
    assert.deepEqual(await listedFolders(page, 'listSearchDir'), [app.dirs.home]);
    await clearFolders(page, 'listSearchDir');
    assert.equal(await refusal('#btnNextStep'), 'Please select folders to scan');
    assert.ok(await page.isVisible('#pageChoisir'), 'the page stays');
    await addFolderTyped(page, '#btnAddSearchDir', app.dirs.home + '/scan');
    await addFolderTyped(page, '#btnAddSearchDir', app.dirs.home + '/scan');   // duplicates are kept
    assert.deepEqual(await listedFolders(page, 'listSearchDir'), [app.dirs.home + '/scan', app.dirs.home + '/scan']);
    await page.click('#listSearchDir .dir-entry:nth-child(2) .dir-remove');
    // A typed path that does not exist is refused inside the chooser, and the chooser stays.
    await page.click('#btnAddSearchDir');
    await page.fill('#chooserPath', app.dirs.home + '/no-such-folder');
    await page.click('#chooserOk');
    await page.waitForFunction(() => document.getElementById('chooserError').textContent.length > 0);
    await page.click('#chooserCancel');
    assert.deepEqual(await listedFolders(page, 'listSearchDir'), [app.dirs.home + '/scan']);
    await page.click('#btnNextStep');
    await page.waitForSelector('#btnStartScan');
    assert.deepEqual(await page.evaluate(() => view.GetSearchDirectory()), [app.dirs.home + '/scan']);
});

test('page 2 kind boxes: the all box is three-state and none ticked is refused', async () => {
    await page.waitForFunction(() => document.getElementById('chkAllType')?.dataset.state === 'on');
    await page.click('#chkKind4');
    assert.equal(await page.getAttribute('#chkAllType', 'data-state'), 'mixed');
    assert.equal(await page.evaluate(() => document.getElementById('chkAllType').indeterminate), true);
    // A mixed all box becomes checked and ticks every kind.
    await page.click('#chkAllType');
    assert.equal(await page.getAttribute('#chkAllType', 'data-state'), 'on');
    assert.equal(await page.locator('input.kind:checked').count(), 6);
    assert.equal(await refusal('#chkAllType'), 'Please select at least one.');
    assert.equal(await page.locator('input.kind:checked').count(), 0);
    assert.equal(await refusal('#btnStartScan'), 'Please select at least one.');
    await page.click('#chkKind2');
    assert.equal(await page.getAttribute('#chkAllType', 'data-state'), 'mixed');
    assert.equal(await refusal('#chkKind2'), 'Please select at least one.');
    await page.click('#chkAllType');
    assert.equal(await page.getAttribute('#chkAllType', 'data-state'), 'on');
});

test('size limits: over 4096 MB refused even when unticked, min above max refused, exclusions kept', async () => {
    // The number fields follow their boxes.
    await page.setChecked('#chkMinSize', true);
    assert.equal(await page.isEnabled('#numMinSize'), true);
    await page.setChecked('#chkMinSize', false);
    assert.equal(await page.isEnabled('#numMinSize'), false);

    await addFolderTyped(page, '#btnAddExcludeDir', app.dirs.home + '/skip');
    await setLimit('Max', false, 0, 0);
    await setLimit('Min', false, 5000, 20);
    assert.equal(await refusal('#btnStartScan'), 'Please set a smaller minimum value!');
    // The exclusions were stored before the check failed.
    assert.deepEqual(await page.evaluate(() => view.GetExcludeDirectory()), [app.dirs.home + '/skip']);

    await setLimit('Min', true, 4097, 20);
    assert.equal(await refusal('#btnStartScan'), 'Please set a smaller minimum value!');
    await setLimit('Min', false, 1, 20);
    await setLimit('Max', true, 4097, 20);
    assert.equal(await refusal('#btnStartScan'), 'Please set a smaller maximum value!');
    await setLimit('Max', false, 5000, 20);
    assert.equal(await refusal('#btnStartScan'), 'Please set a smaller maximum value!');
    await setLimit('Min', true, 10, 20);
    await setLimit('Max', true, 5, 20);
    assert.equal(await refusal('#btnStartScan'), 'The minimum value exceeds the maximum value. Adjust it!');
    assert.equal(await page.isVisible('#pageExclure'), true);
    assert.equal(await popupCount(page), 0);
});

test('back loses unsaved exclusions; page 2 reads its lists and options afresh', async () => {
    await addFolderTyped(page, '#btnAddExcludeDir', app.dirs.home + '/scan');
    await page.click('#btnReturn');
    await page.waitForSelector('#pageChoisir');
    // Page 1 reads its list from the program after it shows.
    await page.waitForFunction(() => document.querySelectorAll('#listSearchDir .dir-entry').length === 1);
    assert.deepEqual(await listedFolders(page, 'listSearchDir'), [app.dirs.home + '/scan']);
    await page.click('#btnNextStep');
    await page.waitForSelector('#pageExclure');
    await page.waitForFunction(() => document.querySelectorAll('#listExcludeDir .dir-entry').length === 1);
    assert.deepEqual(await listedFolders(page, 'listExcludeDir'), [app.dirs.home + '/skip']);
});

test('4096 MB on both limits is accepted; equal limits scan nothing and open empty results', async () => {
    await page.waitForFunction(() => document.getElementById('chkAllType')?.dataset.state === 'on');
    await setLimit('Min', true, 4096, 20);
    await setLimit('Max', true, 4096, 20);
    await page.click('#btnStartScan');
    await page.waitForSelector('#pageResults', { timeout: 20000 });
    const s = await settings();
    assert.deepEqual([s[2], String(s[3]), s[4], String(s[5])], [1, '4294967296', 1, '4294967296']);
    await page.waitForTimeout(300);
    assert.equal(await page.evaluate(() => window.DataSource.rowCount()), 0);

    // With no rows the header box and the delete button refuse.
    await page.click('#chkHeader');
    const header = await answerBox(page);
    assert.equal(header.text, 'currently no files can be selected!');
    assert.equal((await counters(page)).header, 'off');
    assert.equal(await refusal('#btnDelSelect'), 'No files selected!');
    assert.equal(await refusal('#btnTrashSelect'), 'No files selected!');
});

test('home asks first; 9999 KB is accepted and shown back as typed', async () => {
    await page.click('#btnHome');
    assert.equal((await answerBox(page, 'btnNo')).text,
        'Are you sure to abandon the current scanning results and return to the home page?');
    assert.ok(await page.isVisible('#pageResults'));
    await page.click('#btnHome');
    await answerBox(page, 'btnYes');
    await page.waitForSelector('#pageChoisir');
    await page.click('#btnNextStep');
    await page.waitForSelector('#pageExclure');
    // Stored bytes come back as number and unit: 4294967296 shows as 4096 MB.
    await page.waitForFunction(() => document.getElementById('numMinSize')?.value === '4096');
    assert.equal(await page.inputValue('#unitMinSize'), '20');
    await setLimit('Min', true, 9999, 10);
    await setLimit('Max', false, 1, 20);
    await page.click('#btnStartScan');
    await page.waitForSelector('#pageResults', { timeout: 20000 });
    const s = await settings();
    assert.deepEqual([s[2], String(s[3]), s[4], String(s[5])], [1, '10238976', 0, '1048576']);
    await page.click('#btnHome');
    await answerBox(page, 'btnYes');
    await page.click('#btnNextStep');
    await page.waitForFunction(() => document.getElementById('numMinSize')?.value === '9999');
    assert.equal(await page.inputValue('#unitMinSize'), '10');
    assert.equal(await page.inputValue('#numMaxSize'), '1024');
    assert.equal(await page.inputValue('#unitMaxSize'), '10');
    assert.deepEqual(page.errors, []);
});
