// Pages a web developer writes, in headless Chromium against the real service: the README's
// first page saved as a file, a page of another site importing the client module by URL beside
// the classic script, connect()'s time limit while the service is down, and the service's own
// addresses (/ and HEAD).
import assert from "node:assert/strict";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { after, before, test } from "node:test";
import { pathToFileURL } from "node:url";

import { launchChromium } from "./chromium.mjs";
import { ServerProcess, freePort } from "./server.mjs";

let browser = null;
let skipReason = "";
let server = null;

before(async () => {
  ({ browser, skipReason = "" } = await launchChromium());
  if (skipReason) return;
  server = new ServerProcess();
  await server.start();
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

// The README's first example (its first html block), pointed at the test's service.
function readmeFirstPage(port) {
  const readme = fs.readFileSync(new URL("../../README.md", import.meta.url), "utf8");
  const example = /```html\n([\s\S]*?)```/.exec(readme);
  assert.ok(example, "README.md shows a first page");
  return example[1].replaceAll("127.0.0.1:9000", `127.0.0.1:${port}`);
}

async function newPage() {
  const context = await browser.newContext({ viewport: { width: 1000, height: 700 } });
  const page = await context.newPage();
  const problems = [];
  page.on("pageerror", (error) => problems.push(error.message));
  return { context, page, problems };
}

test("the README's first page, saved as a file, lists the cameras, shows the preview and captures", { timeout: 90000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  const file = path.join(server.root, "first.html");
  fs.writeFileSync(file, readmeFirstPage(server.port));
  const { context, page, problems } = await newPage();
  try {
    await page.goto(pathToFileURL(file).href);
    await page.waitForFunction(() => document.querySelector("#out").textContent.startsWith("Cameras: "), null, { timeout: 20000 });
    assert.equal((await page.textContent("#out")).split(", ").length, 2);
    await page.waitForFunction(() => document.querySelector("#preview").naturalWidth > 0, null, { timeout: 20000 });
    assert.ok(await page.$eval("#preview", (image) => image.naturalWidth) <= 480);
    await page.click("#capture");
    await page.waitForFunction(() => document.querySelector("#picture").naturalWidth > 480, null, { timeout: 20000 });
    await page.evaluate(() => client.call("camCloseDev", { devIndex: 0 }));
    assert.deepEqual(problems, []);
  } finally {
    await context.close();
  }
});

test("a page of another site imports the module by URL; the classic script's global holds the same exports", { timeout: 60000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  const service = `127.0.0.1:${server.port}`;
  const html = `<!doctype html><meta charset="utf-8">
<script src="http://${service}/client/lenvaro-client.global.js"></script>
<script type="module">
  import * as lenvaro from "http://${service}/client/lenvaro-client.js";
  try {
    const client = new lenvaro.LenvaroClient({ url: "ws://${service}/" });
    await client.connect();
    window.outcome = {
      exports: Object.keys(lenvaro).sort(),
      globals: Object.keys(window.Lenvaro).sort(),
      sameKind: window.Lenvaro.LIBRARY_STATUSES[-3].name === lenvaro.LIBRARY_STATUSES[-3].name,
      count: await client.call("camGetDevCount"),
      status: await lenvaro.fetchStatus("ws://${service}/"),
    };
    client.close();
  } catch (error) {
    window.outcome = { error: String(error) };
  }
</script>`;
  const site = http.createServer((request, response) => {
    response.setHeader("Content-Type", "text/html; charset=utf-8");
    response.end(html);
  });
  await new Promise((resolve) => site.listen(0, "127.0.0.1", resolve));
  const file = path.join(server.root, "module.html");
  fs.writeFileSync(file, html);
  const { context, page, problems } = await newPage();
  try {
    // Another origin (another port), then the same page opened from a file.
    for (const address of [`http://127.0.0.1:${site.address().port}/`, pathToFileURL(file).href]) {
      await page.goto(address);
      await page.waitForFunction(() => window.outcome !== undefined, null, { timeout: 20000 });
      const outcome = await page.evaluate(() => window.outcome);
      assert.equal(outcome.error, undefined, address);
      assert.ok(outcome.exports.includes("LenvaroClient") && outcome.exports.includes("fetchStatus"), address);
      assert.deepEqual(outcome.globals, outcome.exports, address);
      assert.equal(outcome.sameKind, true);
      assert.equal(outcome.count, "2", address);
      assert.equal(outcome.status.name, "Lenvaro Server");
      assert.deepEqual(outcome.status.cameras, []);
    }
    assert.deepEqual(problems, []);
  } finally {
    await context.close();
    site.close();
  }
});

test("with the service down, connect() rejects within its limit; reconnection goes on and opens once it runs", { timeout: 60000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  const port = await freePort();
  const later = new ServerProcess({ port });
  const { context, page } = await newPage();
  try {
    await page.addScriptTag({ path: path.join(server.demoFolder, "client", "lenvaro-client.global.js") });
    const outcome = await page.evaluate(async (url) => {
      window.client = new Lenvaro.LenvaroClient({ url, connectTimeoutMs: 1500, reconnectDelayMs: 100, maxReconnectDelayMs: 200 });
      window.opened = new Promise((resolve) => window.client.on("open", resolve));
      const started = performance.now();
      const errors = [];
      for (const options of [undefined, { timeoutMs: 50 }]) {
        errors.push(await window.client.connect(options).then(() => null, (failure) => failure.code));
      }
      return { errors, waited: performance.now() - started };
    }, `ws://127.0.0.1:${port}/`);
    assert.deepEqual(outcome.errors, ["UNAVAILABLE", "UNAVAILABLE"]);
    assert.ok(outcome.waited >= 1500 && outcome.waited < 6000, JSON.stringify(outcome));
    // The same client, still trying in the background, connects once the service runs.
    await later.start();
    assert.equal(await page.evaluate(async () => {
      await window.opened;
      return window.client.call("camGetDevCount");
    }), "2");
    await page.evaluate(() => window.client.close());
  } finally {
    await context.close();
    await later.stop();
  }
});

test("the service's address leads to its page, and HEAD is answered without a body", { timeout: 60000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  const { context, page } = await newPage();
  try {
    await page.goto(`${server.httpUrl}/`);
    assert.equal(page.url(), `${server.httpUrl}/demo/`);
    await page.waitForSelector('#connectionState[data-state="open"]', { timeout: 15000 });
    const head = await page.evaluate(async () => {
      const [got, headed] = await Promise.all([fetch("/demo/demo.js"), fetch("/demo/demo.js", { method: "HEAD" })]);
      return {
        status: headed.status,
        length: headed.headers.get("content-length"),
        body: await headed.text(),
        fullLength: (await got.arrayBuffer()).byteLength,
        type: headed.headers.get("content-type"),
      };
    });
    assert.deepEqual(head, { status: 200, length: String(head.fullLength), body: "", fullLength: head.fullLength, type: "text/javascript; charset=utf-8" });
  } finally {
    await context.close();
  }
});
