// The demo page in headless Chromium (Debian's /usr/bin/chromium, driven by playwright-core),
// served by the real executable with the built-in library: it connects, opens the simulated
// camera, renders its preview, shows a Base64 capture and reads the ID card.
// LENVARO_DEMO_SCREENSHOT names a PNG to write of the page at 1366x768.
import assert from "node:assert/strict";
import fs from "node:fs";
import { after, before, test } from "node:test";

import { ServerProcess } from "./server.mjs";

const CHROMIUM = process.env.LENVARO_CHROMIUM ?? "/usr/bin/chromium";

let chromium = null;
let browser = null;
let skipReason = "";
let server = null;

before(async () => {
  try {
    ({ chromium } = await import("playwright-core"));
  } catch (error) {
    throw new Error(`playwright-core is not installed (scripts/setup runs npm ci in tests/web): ${error.message}`);
  }
  if (!fs.existsSync(CHROMIUM)) {
    skipReason = `${CHROMIUM} is not installed`;
    return;
  }
  try {
    browser = await chromium.launch({
      executablePath: CHROMIUM,
      headless: true,
      // Root in a container has no user namespaces for Chromium's sandbox.
      args: ["--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"],
      timeout: 30000,
    });
  } catch (error) {
    skipReason = `chromium cannot start: ${error.message.split("\n")[0]}`;
    return;
  }
  server = new ServerProcess();
  await server.start();
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

test("the demo page drives the simulated devices", { timeout: 120000 }, async (t) => {
  if (skipReason) {
    t.skip(skipReason);
    return;
  }
  const page = await browser.newPage({ viewport: { width: 1366, height: 768 }, locale: "zh-CN" });
  const problems = [];
  page.on("pageerror", (error) => problems.push(error.message));

  await page.goto(`${server.httpUrl}/demo/`);
  await page.waitForSelector('#connectionState[data-state="open"]', { timeout: 15000 });
  await page.waitForSelector('#serviceStatus[data-state="found"]', { timeout: 15000 });
  assert.match(await page.textContent("#serviceStatus"), /^Lenvaro Server \d/);
  await page.waitForFunction(() => document.querySelectorAll("#device option").length === 2);
  await page.waitForFunction(() => document.querySelectorAll("#resolution option").length > 1);

  // The smaller preview keeps the browser's work small.
  await page.selectOption("#previewWidth", "640");
  await page.click("#openCamera");
  await page.waitForFunction(() => Number(document.querySelector("#frameCount").value) >= 10, null, { timeout: 30000 });
  const preview = await page.$eval("#preview", (image) => ({ width: image.naturalWidth, height: image.naturalHeight }));
  assert.ok(preview.width > 0 && preview.width <= 640, JSON.stringify(preview));

  // The same helper draws into a canvas, newest frame first.
  const canvas = await page.evaluate(async () => {
    const { showPreview } = await import("/demo/client/lenvaro-client.js");
    const target = document.createElement("canvas");
    const shown = showPreview(window.lenvaroDemo.client, target);
    const deadline = Date.now() + 15000;
    while (shown.rendered < 3 && Date.now() < deadline) await new Promise((resolve) => setTimeout(resolve, 50));
    shown.stop();
    return { rendered: shown.rendered, width: target.width, height: target.height };
  });
  assert.ok(canvas.rendered >= 3, JSON.stringify(canvas));
  assert.deepEqual([canvas.width, canvas.height], [preview.width, preview.height]);

  await page.click("#captureBase64");
  await page.waitForFunction(() => {
    const image = document.querySelector("#resultImage");
    return image.src.startsWith("data:image/jpeg;base64,") && image.complete && image.naturalWidth > 0;
  }, null, { timeout: 20000 });
  const captured = await page.$eval("#resultImage", (image) => image.naturalWidth);
  assert.ok(captured > 640, `the capture is ${captured} wide`);

  await page.click('#tabs button[data-tab="cards"]');
  await page.click("#readIdCard");
  await page.waitForFunction(() => document.querySelector("#idCardFields")?.textContent.includes("110101199003071233"), null, { timeout: 15000 });
  const fields = await page.$$eval("#idCardFields tr td:last-child", (cells) => cells.map((cell) => cell.textContent));
  assert.equal(fields[0], "张三");
  assert.equal(fields.length, 9);

  // The labels switch between Chinese and English.
  assert.equal(await page.textContent("#openCamera"), "打开相机");
  await page.click("#language");
  assert.equal(await page.textContent("#openCamera"), "Open camera");
  await page.click("#language");

  if (process.env.LENVARO_DEMO_SCREENSHOT) {
    await page.click('#tabs button[data-tab="capture"]');
    await page.click("#captureBase64");
    await page.waitForFunction(() => document.querySelector("#resultText").textContent.startsWith("CaptureEncodeBase64:"));
    await page.screenshot({ path: process.env.LENVARO_DEMO_SCREENSHOT });
  }
  assert.deepEqual(problems, []);
  await page.close();
});
