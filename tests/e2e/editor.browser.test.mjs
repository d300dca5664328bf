// The editor page served at "/", exercised in headless Chromium against the
// real server: what a learner does with it, from loading the page to
// previewing, saving, loading a file and uploading files by dropping them.
//
// Needs Debian's chromium at /usr/bin/chromium (no display is used). The
// screenshot goes to $TINKERPOT_ARTIFACTS, or build/artifacts by default.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { sharedServer, exchange, splitReply, repoRoot, slow } from './lib/server.mjs';

const CHROMIUM = '/usr/bin/chromium';
const CHROMIUM_ARGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--disable-quic',
];
const artifacts = process.env.TINKERPOT_ARTIFACTS || path.join(repoRoot, 'build', 'artifacts');
const pageFile = path.join(repoRoot, 'assets', 'tinkerpot.html');

const PROMPT = 'アップロードするファイルをここにドロップ';
const UPLOADING = 'アップロード中...';
const SENTENCE = '左側(エディタ)にHTMLを書いて「見てみる」ボタンを。';
const FUNCTIONS = ['エディタを作る', '見てみる', 'SAVEする', 'LOADする', 'アップロードする'];
// How long to keep listening for a second download, chooser or request that
// must not come.
const SETTLE_MS = slow ? 3000 : 1000;

// Started for the whole file, so that it starts before the browser and stops
// after the browser has closed (the describe block's hooks run in between).
// The last test stops it, and checks the stop; the shared server's own stop
// waits for that same one.
const server = sharedServer();
let profile;
let context;
let page;
let origin;
const consoleErrors = [];
const badResponses = [];
const requests = [];
const responses = [];
const dialogs = [];
const downloads = [];
const choosers = [];

const serverLog = () => server.stdout;
const count = (text, part) => text.split(part).length - 1;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Sets the editor's text directly, where typing it is not what a case is about.
async function setEditor(text) {
  await page.evaluate((t) => g_editor.setValue(t), text);
  assert.equal(await page.evaluate(() => g_editor.getValue()), text);
}

async function previewState() {
  return page.evaluate(async () => {
    const src = elmPreview.src;
    if (!src.startsWith('blob:')) return { src };
    const reply = await fetch(src);
    return { src, type: reply.headers.get('content-type'), text: await reply.text() };
  });
}

// Waits until the frame shows the document at its current source, then
// returns that document's body markup.
async function frameBody() {
  await page.waitForFunction(() => {
    const doc = elmPreview.contentDocument;
    return doc && doc.readyState === 'complete' && doc.URL === elmPreview.src;
  });
  return page.evaluate(() => elmPreview.contentDocument.body.innerHTML);
}

async function clickEditor() {
  await page.click('#elmEditor .ace_content');
  await page.waitForFunction(() => g_editor.isFocused());
}

// Drops a DataTransfer built in the page on the drop zone. `files` is a list
// of { name, type, bytes }, `strings` a list of [format, data]. Returns the
// drop zone's two lines as they are right after the drop was dispatched,
// and whether the zone cancelled the dragover and the drop.
function drop({ files = [], strings = [] }) {
  return page.evaluate(({ files, strings }) => {
    const dt = new DataTransfer();
    for (const f of files) dt.items.add(new File([new Uint8Array(f.bytes)], f.name, { type: f.type }));
    for (const [format, data] of strings) dt.setData(format, data);
    const zone = elmTheArea.parentElement;
    const event = (type) => new DragEvent(type, { dataTransfer: dt, bubbles: true, cancelable: true });
    // A cancelled dragover is what makes the zone accept the drop; a
    // cancelled drop keeps the browser from opening the file itself.
    const accepted = !zone.dispatchEvent(event('dragover'));
    const cancelled = !zone.dispatchEvent(event('drop'));
    return { accepted, cancelled, first: elmTheArea.textContent, second: elmTheArea2.textContent };
  }, { files: files.map((f) => ({ ...f, bytes: [...f.bytes] })), strings });
}

const putsSince = (mark) => requests.slice(mark).filter((r) => r.method === 'PUT');

describe('editor page in headless Chromium', { timeout: slow ? 900000 : 180000 }, () => {
  before(async () => {
    if (!fs.existsSync(CHROMIUM)) {
      throw new Error(`${CHROMIUM} is missing: install Debian's chromium package to run the browser test`);
    }
    origin = `http://127.0.0.1:${server.port}`;
    profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tinkerpot-chromium-'));
    context = await chromium.launchPersistentContext(profile, {
      executablePath: CHROMIUM,
      headless: true,
      args: CHROMIUM_ARGS,
      viewport: { width: 1000, height: 600 },
      acceptDownloads: true,
    });
    context.setDefaultTimeout(slow ? 60000 : 15000);
    page = context.pages()[0] || (await context.newPage());
    page.on('console', (m) => {
      if (m.type() === 'error' && !m.location().url.endsWith('/favicon.ico')) {
        consoleErrors.push(`${m.text()} (${m.location().url})`);
      }
    });
    page.on('pageerror', (e) => consoleErrors.push(`uncaught: ${e.message}`));
    page.on('request', (r) => requests.push({ method: r.method(), url: r.url() }));
    page.on('requestfailed', async (r) => {
      const error = r.failure()?.errorText;
      // fetch() resolves with the reply's head, and the page never reads the
      // (empty) body of a PUT's reply: Chromium then cancels the rest of that
      // load once the reply is dropped. Only that case is no failure.
      const answered = await r.response().catch(() => null);
      if (r.method() === 'PUT' && answered && error === 'net::ERR_ABORTED') return;
      badResponses.push(`${r.url()}: ${error}`);
    });
    page.on('response', (r) => {
      responses.push({ method: r.request().method(), url: r.url(), status: r.status() });
      if (r.status() >= 400 && new URL(r.url()).pathname !== '/favicon.ico') {
        badResponses.push(`${r.url()}: ${r.status()}`);
      }
    });
    page.on('dialog', (d) => {
      dialogs.push({ type: d.type(), message: d.message() });
      d.accept();
    });
    page.on('download', (d) => downloads.push(d));
    page.on('filechooser', (c) => choosers.push(c));
  });

  after(async () => {
    if (context) await context.close().catch(() => {});
    if (profile) fs.rmSync(profile, { recursive: true, force: true });
  });

  test('the server hands out the page file byte for byte as UTF-8 HTML with LF line ends', async () => {
    const file = fs.readFileSync(pageFile);
    const { head, body } = splitReply(await exchange(server.port, 'GET / HTTP/1.1\r\nHost: x\r\n\r\n'));
    assert.equal(head, 'HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n');
    assert.ok(body.equals(file), 'the page served at / is the page file');

    assert.notDeepEqual([...file.subarray(0, 3)], [0xef, 0xbb, 0xbf], 'no byte-order mark');
    assert.equal(file.indexOf('\r'), -1, 'no CR bytes');
    const text = new TextDecoder('utf-8', { fatal: true }).decode(file);
    assert.match(text, /^<!DOCTYPE html>\n<html>\n/i);
    assert.ok(text.endsWith('</html>\n'));

    // The first source of the frame is the sentence as a base64 data address.
    const sentence = Buffer.from(SENTENCE, 'utf8');
    assert.equal(sentence.length, 72);
    const encoded = sentence.toString('base64');
    assert.equal(encoded.length, 96);
    assert.ok(text.includes(`src="data:text/html;charset=utf-8;base64,${encoded}"`));

    // Elements are reached through their ids as global names only.
    for (const lookup of ['getElementById', 'querySelector', 'getElementsBy']) {
      assert.ok(!text.includes(lookup), `the page does not use ${lookup}`);
    }
  });

  test('the page loads with Ace in HTML mode on the left, its worker from /worker-html.js and no errors', async () => {
    await page.goto(`${origin}/`, { waitUntil: 'load' });
    assert.equal(await page.title(), 'tinkerpot');

    const editor = await page.evaluate(() => ({
      ace: elmEditor.classList.contains('ace_editor'),
      same: g_editor === ace.edit('elmEditor'),
      mode: g_editor.getSession().$modeId,
      value: g_editor.getValue(),
      functions: ['エディタを作る', '見てみる', 'SAVEする', 'LOADする', 'アップロードする'].map((n) => typeof window[n]),
    }));
    assert.deepEqual(editor, {
      ace: true,
      same: true,
      mode: 'ace/mode/html',
      value: '',
      functions: FUNCTIONS.map(() => 'function'),
    });

    // The HTML checker runs in its worker: broken markup gets annotated.
    await setEditor('<!DOCTYPE html>\n<p>a</b>\n');
    await page.waitForFunction(() => g_editor.getSession().getAnnotations().some((a) => a.type === 'error'));
    await setEditor('');

    const paths = requests.map((r) => new URL(r.url).pathname);
    const at = (p) => paths.indexOf(p);
    assert.ok(at('/ace.min.js') >= 0 && at('/mode-html.js') > at('/ace.min.js'), `scripts in order: ${paths}`);
    assert.ok(at('/worker-html.js') > 0, `the worker was fetched: ${paths}`);
    assert.ok(serverLog().includes("Accessed '/worker-html.js' From '127.0.0.1'\n"));

    // Editor on the left half, preview on the right half, strip below both.
    const box = await page.evaluate(() => {
      const rect = (e) => e.getBoundingClientRect().toJSON();
      return {
        body: rect(document.body),
        editor: rect(elmEditor),
        preview: rect(elmPreview),
        zone: rect(elmTheArea.parentElement),
      };
    });
    const half = box.body.width / 2;
    assert.ok(Math.abs(box.editor.left - box.body.left) <= 1, JSON.stringify(box));
    assert.ok(Math.abs(box.editor.width - half) <= 1, JSON.stringify(box));
    assert.ok(box.editor.height > 100, JSON.stringify(box));
    assert.ok(Math.abs(box.preview.left - (box.body.left + half)) <= 1, JSON.stringify(box));
    assert.ok(box.zone.top >= box.editor.bottom, JSON.stringify(box));

    // The frame starts with the sentence.
    const frame = await (await page.$('#elmPreview')).contentFrame();
    assert.equal(await frame.evaluate(() => document.body.textContent), SENTENCE);

    assert.deepEqual(consoleErrors, []);
    assert.deepEqual(badResponses, []);
  });

  test('the document is laid out with its head order, ids, styles and texts', async () => {
    // Parsed from the served source, so that what Ace adds at run time
    // (its style elements) does not get in the way.
    const outline = await page.evaluate(async () => {
      const source = await (await fetch('/')).text();
      const doc = new DOMParser().parseFromString(source, 'text/html');
      const walk = (el) => ({
        tag: el.tagName.toLowerCase(),
        attrs: Object.fromEntries([...el.attributes].map((a) => [a.name, a.value])),
        text: [...el.childNodes].filter((n) => n.nodeType === 3 && n.data.trim()).map((n) => n.data),
        children: [...el.children].map(walk),
      });
      const headScript = doc.head.children[4];
      return {
        doctype: doc.doctype && doc.doctype.name,
        htmlAttrs: doc.documentElement.attributes.length,
        head: [...doc.head.children].map((e) => ({
          tag: e.tagName.toLowerCase(),
          attrs: Object.fromEntries([...e.attributes].map((a) => [a.name, a.value])),
          text: e.tagName === 'TITLE' ? e.textContent : undefined,
        })),
        headScript: headScript ? headScript.textContent : '',
        body: walk(doc.body),
      };
    });

    assert.equal(outline.doctype, 'html');
    assert.equal(outline.htmlAttrs, 0);
    assert.deepEqual(outline.head, [
      { tag: 'meta', attrs: { charset: 'utf-8' }, text: undefined },
      { tag: 'title', attrs: {}, text: 'tinkerpot' },
      { tag: 'script', attrs: { src: 'ace.min.js' }, text: undefined },
      { tag: 'script', attrs: { src: 'mode-html.js' }, text: undefined },
      { tag: 'script', attrs: {}, text: undefined },
    ]);
    assert.match(outline.headScript, /\b(var|let) g_editor;/);
    for (const name of FUNCTIONS) {
      assert.ok(outline.headScript.includes(`function ${name}(`), `the inline script defines ${name}`);
    }

    const el = (tag, attrs = {}, text = [], children = []) => ({ tag, attrs, text, children });
    const button = { style: 'font-size:1.2em;' };
    const expected = el('body', { style: 'height:100%;' }, [], [
      el('div', { style: 'height:3em;' }, [], [
        el('div', { style: 'float:right; ' }, [], [
          el('button', { ...button, onclick: '見てみる();' }, ['見てみる (^S)']),
          el('button', { ...button, onclick: 'SAVEする();' }, ['SAVEする'], [el('a', { id: 'elmSave' })]),
          el('button', { ...button, onclick: 'elmLoad.click();' }, ['LOADする'], [
            el('input', { id: 'elmLoad', type: 'file', hidden: '', onchange: 'LOADする();' }),
          ]),
        ]),
        el('h1', { style: 'font-size:1.5em;' }, ['tinkerpot '], [
          el('span', { style: 'font-size:66%;' }, ['〜Vantrel工房〜']),
        ]),
      ]),
      el('div', { style: 'height:calc(100vh - 10em);' }, [], [
        el('div', { id: 'elmEditor', style: 'float:left; width:50%; height:100%;' }),
        el('script', {}, ['エディタを作る();']),
        el('div', { style: 'float:right; width:50%; height:100%;' }, [], [
          el('iframe', {
            id: 'elmPreview',
            style: 'width:100%; height:100%;',
            src: `data:text/html;charset=utf-8;base64,${Buffer.from(SENTENCE).toString('base64')}`,
          }),
        ]),
      ]),
      el('div', {
        style: 'height:3em; text-align:center; vertical-align:middle; border:1pt dashed; margin-top:12px; font-size:80%;',
        ondragover: 'event.preventDefault();',
        ondrop: 'アップロードする(event);',
      }, [], [
        el('div', { id: 'elmTheArea' }, [PROMPT]),
        el('div', { id: 'elmTheArea2' }),
      ]),
      el('div', {}, [], [
        el('div', { style: 'float:right; ' }, ['v20220207 by '], [outline.body.children[3]?.children[0]?.children[0]]),
      ]),
    ]);
    assert.deepEqual(outline.body, expected);

    // The credit link: an address and a text of its own, in a new browsing context.
    const credit = outline.body.children[3].children[0].children[0];
    assert.equal(credit.tag, 'a');
    assert.equal(credit.attrs.target, '_blank');
    assert.match(credit.attrs.href, /^https?:\/\/\S+$/);
    assert.ok(credit.text.join('').trim().length > 0);
    assert.deepEqual(credit.children, []);

    // Each id is a global name for its element in the live page.
    const live = await page.evaluate(() => ({
      elmEditor: elmEditor.tagName,
      elmPreview: elmPreview.tagName,
      elmSave: [elmSave.tagName, elmSave.textContent, elmSave.hasAttribute('href'), elmSave.parentElement.tagName],
      elmLoad: [elmLoad.tagName, elmLoad.type, elmLoad.hidden, elmLoad.multiple, elmLoad.parentElement.tagName],
      elmTheArea: [elmTheArea.tagName, elmTheArea.textContent],
      elmTheArea2: [elmTheArea2.tagName, elmTheArea2.textContent],
    }));
    assert.deepEqual(live, {
      elmEditor: 'DIV',
      elmPreview: 'IFRAME',
      elmSave: ['A', '', false, 'BUTTON'],
      elmLoad: ['INPUT', 'file', true, false, 'BUTTON'],
      elmTheArea: ['DIV', PROMPT],
      elmTheArea2: ['DIV', ''],
    });
  });

  test('the preview button shows the editor text in the frame', async (t) => {
    await t.test('typed into the editor', async () => {
      await setEditor('');
      await clickEditor();
      await page.keyboard.type('<h1>Hello');
      const typed = await page.evaluate(() => g_editor.getValue());
      assert.match(typed, /^<h1>Hello/);
      await page.click('button:has-text("見てみる (^S)")');
      const state = await previewState();
      assert.ok(state.src.startsWith(`blob:${origin}/`), state.src);
      assert.equal(state.type, 'text/html');
      assert.equal(state.text, typed);
      assert.match(await frameBody(), /^<h1>Hello<\/h1>/);
      assert.equal(await page.evaluate(() => elmPreview.contentDocument.querySelector('h1').textContent), 'Hello');
    });

    const cases = [
      {
        name: 'a whole document in Japanese',
        text: '<!DOCTYPE html>\n<html>\n<body>\n<p id="x">こんにちは、世界</p>\n<ul><li>一</li><li>二</li></ul>\n</body>\n</html>\n',
        body: '\n<p id="x">こんにちは、世界</p>\n<ul><li>一</li><li>二</li></ul>\n\n\n',
      },
      { name: 'an empty editor', text: '', body: '' },
    ];
    for (const c of cases) {
      await t.test(c.name, async () => {
        const before = (await previewState()).src;
        await setEditor(c.text);
        await page.click('button:has-text("見てみる (^S)")');
        const state = await previewState();
        assert.notEqual(state.src, before, 'each preview makes a new object address');
        assert.equal(state.type, 'text/html');
        assert.equal(state.text, c.text);
        assert.equal(await frameBody(), c.body);
      });
    }
  });

  test('Ctrl+S previews on release inside the editor, and only with a lower-case s', async (t) => {
    await page.evaluate(() => {
      window.seenKeys = [];
      document.addEventListener('keyup', (e) => {
        seenKeys.push({ key: e.key, ctrl: e.ctrlKey, inEditor: elmEditor.contains(e.target) });
      }, true);
    });
    const cases = [
      { name: 'Ctrl+S in the editor', focus: 'editor', keys: 'Control+s', key: 's', inEditor: true, previews: true },
      { name: 'Ctrl+Shift+S in the editor', focus: 'editor', keys: 'Control+Shift+S', key: 'S', inEditor: true, previews: false },
      { name: 'Ctrl with an upper-case S (Caps Lock) in the editor', focus: 'editor', keys: 'Control+S', key: 'S', inEditor: true, previews: false },
      { name: 's without Ctrl in the editor', focus: 'editor', keys: 's', key: 's', inEditor: true, previews: false },
      { name: 'Ctrl+S outside the editor', focus: 'heading', keys: 'Control+s', key: 's', inEditor: false, previews: false },
    ];
    for (const [i, c] of cases.entries()) {
      await t.test(c.name, async () => {
        const text = `<p>case ${i}</p>`;
        await setEditor(text);
        if (c.focus === 'editor') {
          await clickEditor();
        } else {
          await page.click('h1');
          assert.equal(await page.evaluate(() => g_editor.isFocused()), false);
        }
        const before = (await previewState()).src;
        await page.evaluate(() => { seenKeys.length = 0; });
        if (c.previews) {
          // Nothing happens while the key is down; the release previews.
          await page.keyboard.down('Control');
          await page.keyboard.down('s');
          assert.equal((await previewState()).src, before, 'no preview on the press');
          await page.keyboard.up('s');
          await page.keyboard.up('Control');
        } else {
          await page.keyboard.press(c.keys);
        }
        const seen = await page.evaluate(() => seenKeys);
        // The combination really reached the page as intended.
        assert.ok(seen.some((k) => k.key === c.key && k.ctrl === c.keys.startsWith('Control') && k.inEditor === c.inEditor),
          JSON.stringify(seen));
        const state = await previewState();
        if (c.previews) {
          assert.notEqual(state.src, before);
          assert.equal(state.text, text);
          assert.equal(await frameBody(), text);
        } else {
          assert.equal(state.src, before, 'the frame keeps its document');
        }
      });
    }
  });

  test('the save button downloads the editor text once as Vantrel.<milliseconds>.html', async (t) => {
    const cases = [
      { name: 'HTML with Japanese text', text: '<!DOCTYPE html>\n<title>保存</title>\n<p>保存するよ</p>\n' },
      { name: 'an empty editor', text: '' },
    ];
    for (const c of cases) {
      await t.test(c.name, async () => {
        await setEditor(c.text);
        const first = downloads.length;
        const startedAt = await page.evaluate(() => Date.now());
        const [download] = await Promise.all([
          page.waitForEvent('download'),
          page.click('button:has-text("SAVEする")'),
        ]);
        const endedAt = await page.evaluate(() => Date.now());
        await sleep(SETTLE_MS);
        assert.equal(downloads.length - first, 1, 'one press gives one download');

        const name = download.suggestedFilename();
        assert.match(name, /^Vantrel\.\d{13}\.html$/);
        const ms = Number(name.slice('Vantrel.'.length, -'.html'.length));
        assert.ok(ms >= startedAt && ms <= endedAt, `${ms} is the time of the press`);
        assert.equal(await page.evaluate(() => elmSave.download), name);
        assert.match(await page.evaluate(() => elmSave.href), /^blob:/);

        const saved = fs.readFileSync(await download.path());
        assert.ok(saved.equals(Buffer.from(c.text, 'utf8')), `saved: ${JSON.stringify(saved.toString())}`);
      });
    }
  });

  test('the load button reads a local file into the editor', async (t) => {
    await t.test('chosen through the button', async () => {
      await setEditor('old text');
      const first = choosers.length;
      const [chooser] = await Promise.all([
        page.waitForEvent('filechooser'),
        page.click('button:has-text("LOADする")'),
      ]);
      await sleep(SETTLE_MS);
      assert.equal(choosers.length - first, 1, 'one press opens one chooser');
      assert.equal(chooser.isMultiple(), false);
      const text = '<p>loaded through the chooser</p>\n';
      await chooser.setFiles({ name: 'page.html', mimeType: 'text/html', buffer: Buffer.from(text) });
      await page.waitForFunction((t) => g_editor.getValue() === t, text);
    });

    await t.test('a UTF-8 file of another type set on the input', async () => {
      const text = '日本語のテキスト\n二行目 <b>太字</b>\n';
      await page.setInputFiles('#elmLoad', { name: 'メモ.txt', mimeType: 'text/plain', buffer: Buffer.from(text, 'utf8') });
      await page.waitForFunction((t) => g_editor.getValue() === t, text);
    });
  });

  test('dropping files uploads the first one and shows its address', async (t) => {
    const cases = [
      {
        name: 'one text file',
        files: [{ name: 'hello.txt', type: 'text/plain', bytes: Buffer.from('Hello, tinkerpot!\n') }],
        key: '/hello.txt',
      },
      {
        name: 'several files: only the first is sent',
        files: [
          { name: 'first.html', type: 'text/html', bytes: Buffer.from('<h1>first</h1>\n') },
          { name: 'second.txt', type: 'text/plain', bytes: Buffer.from('second\n') },
          { name: 'third.txt', type: 'text/plain', bytes: Buffer.from('third\n') },
        ],
        key: '/first.html',
        notSent: ['/second.txt', '/third.txt'],
      },
      {
        name: 'a name with spaces and Japanese letters',
        files: [{ name: 'メモ 帳 1.html', type: 'text/html', bytes: Buffer.from('<meta charset="utf-8"><h1>メモ帳</h1>\n') }],
        key: '/%E3%83%A1%E3%83%A2%20%E5%B8%B3%201.html',
        notSent: ['/メモ 帳 1.html'],
        opens: 'メモ帳',
      },
      {
        name: 'a binary file without a type',
        files: [{ name: 'data.bin', type: '', bytes: Buffer.from([0, 1, 2, 0x7f, 0x80, 0xfe, 0xff, 0]) }],
        key: '/data.bin',
      },
    ];
    for (const c of cases) {
      await t.test(c.name, async () => {
        const [file] = c.files;
        assert.equal(c.key, `/${encodeURIComponent(file.name)}`);
        const mark = requests.length;

        const during = await drop({ files: c.files });
        assert.deepEqual(during, { accepted: true, cancelled: true, first: UPLOADING, second: '' });

        const shown = await page.waitForFunction(() => elmTheArea2.textContent).then((h) => h.jsonValue());
        assert.equal(shown, `アップロード完了: http://127.0.0.1:${server.port}/${file.name}`);
        assert.equal(await page.evaluate(() => elmTheArea.textContent), PROMPT);

        const puts = putsSince(mark);
        assert.deepEqual(puts, [{ method: 'PUT', url: `${origin}${c.key}` }]);
        assert.deepEqual(responses.filter((r) => r.method === 'PUT' && r.url === puts[0].url),
          [{ method: 'PUT', url: puts[0].url, status: 201 }]);
        await server.waitForOutput(`Created: ${c.key}\n`);
        assert.ok(serverLog().includes(`Creating: ${c.key}\nreserved: ${file.bytes.length}\n`), serverLog());

        // The address shown reaches the stored resource from the browser...
        const address = shown.slice('アップロード完了: '.length);
        const fetched = await page.evaluate(async (a) => {
          const r = await fetch(a);
          return { status: r.status, url: r.url, type: r.headers.get('content-type'), bytes: [...new Uint8Array(await r.arrayBuffer())] };
        }, address);
        assert.deepEqual(fetched, {
          status: 200,
          url: `${origin}${c.key}`,
          type: file.type || null,
          bytes: [...file.bytes],
        });

        // ...and the table holds it under the key the browser sent.
        const { head, body } = splitReply(await exchange(server.port, `GET ${c.key} HTTP/1.1\r\nHost: x\r\n\r\n`));
        assert.equal(head, file.type ? `HTTP/1.0 200 OK\r\nContent-Type: ${file.type}\r\n\r\n` : 'HTTP/1.0 200 OK\r\n\r\n');
        assert.ok(body.equals(file.bytes));

        for (const key of c.notSent || []) {
          assert.ok(!serverLog().includes(`Creating: ${key}\n`), `nothing stored under ${key}`);
        }
        await sleep(SETTLE_MS);
        assert.equal(putsSince(mark).length, 1, 'one PUT per drop');

        if (c.opens) {
          const other = await context.newPage();
          try {
            const reply = await other.goto(address);
            assert.equal(reply.status(), 200);
            assert.equal(other.url(), `${origin}${c.key}`);
            assert.equal(await other.textContent('h1'), c.opens);
          } finally {
            await other.close();
          }
        }
      });
    }
  });

  test('a drop without a file shows an alert, restores the prompt and sends nothing', async (t) => {
    const cases = [
      { name: 'selected text', strings: [['text/plain', 'x']] },
      { name: 'a link', strings: [['text/uri-list', 'https://example.org/'], ['text/plain', 'https://example.org/']] },
      { name: 'nothing at all', strings: [] },
    ];
    for (const c of cases) {
      await t.test(c.name, async () => {
        // A previous upload leaves its address on the second line.
        await page.evaluate(() => { elmTheArea2.textContent = 'previous address'; });
        const mark = requests.length;
        const alerts = dialogs.length;
        const creating = count(serverLog(), 'Creating: ');

        const after = await drop({ strings: c.strings });
        await sleep(SETTLE_MS);

        assert.equal(dialogs.length - alerts, 1, 'one alert');
        assert.equal(dialogs[alerts].type, 'alert');
        assert.ok(dialogs[alerts].message.length > 0, 'the alert names the error');
        assert.deepEqual(after, { accepted: true, cancelled: true, first: PROMPT, second: '' });
        assert.deepEqual(await page.evaluate(() => [elmTheArea.textContent, elmTheArea2.textContent]), [PROMPT, '']);
        assert.deepEqual(requests.slice(mark), [], 'no request');
        assert.equal(count(serverLog(), 'Creating: '), creating);
      });
    }
  });

  test('a screenshot of the page with HTML previewed is kept as an artifact', async () => {
    const text = '<!DOCTYPE html>\n<html>\n<body>\n<h1>はじめてのページ</h1>\n<p>tinkerpot で書いて、見てみる。</p>\n</body>\n</html>\n';
    await setEditor(text);
    await page.evaluate(() => g_editor.clearSelection());
    await page.click('button:has-text("見てみる (^S)")');
    assert.match(await frameBody(), /<h1>はじめてのページ<\/h1>/);
    fs.mkdirSync(artifacts, { recursive: true });
    const file = path.join(artifacts, 'editor.png');
    await page.screenshot({ path: file, type: 'png' });
    const png = fs.readFileSync(file);
    assert.deepEqual([...png.subarray(0, 8)], [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
    assert.equal(png.readUInt32BE(16), 1000);
    assert.equal(png.readUInt32BE(20), 600);
  });

  test('the whole session left no console errors or failed requests, and the server stops on Ctrl+C', async () => {
    assert.deepEqual(consoleErrors, []);
    assert.deepEqual(badResponses, []);
    await context.close();
    context = null;
    const { code, signal } = await server.stop();
    assert.equal(signal, null);
    assert.equal(code, 0);
    assert.ok(server.stdout.includes('stopping server...\n'));
  });
});
