// The demo page in headless Chromium (Debian's /usr/bin/chromium, driven by playwright-core),
// served by the real executable with the built-in library, used as a new user would: both
// simulated cameras, the pickers, the work folder, documents, recording, auto capture, signatures,
// the log, what a reload shows, double clicks, two tabs, and the service going away and coming
// back. Every test closes its pages however it ends: a page left open would reconnect and take
// the preview and the replies of the tests after it.
// LENVARO_DEMO_SCREENSHOT names a PNG to write of the page at 1366x768.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, test } from "node:test";

import { WebSocket } from "ws";

import { LenvaroClient } from "../../web/client/lenvaro-client.js";
import { launchChromium, waitFor } from "./chromium.mjs";
import { ServerProcess, freePort } from "./server.mjs";

let browser = null;
let skipReason = "";
let server = null;

// The simulated signer waits longer than usual, so "sign again" can be seen to clear before it
// writes again; the document camera turns a page every second, for auto capture.
const slowSigner = (text) => text.replace(/"strokeAfterMs":\s*\d+/, '"strokeAfterMs": 4000')
  .replace(/"pageTurnSeconds":\s*\d+/, '"pageTurnSeconds": 1');

before(async () => {
  ({ browser, skipReason = "" } = await launchChromium());
  if (skipReason) return;
  server = new ServerProcess({ simulator: slowSigner });
  await server.start();
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

// The service as a fresh page expects it, whatever the test before left running: no camera open,
// nothing recorded or captured by itself.
async function stopTheCameras() {
  const client = new LenvaroClient({ WebSocket, url: server.url, reconnect: false });
  try {
    await client.connect();
    for (const [name, args] of [["camStopAutoCapture", {}], ["camStopRecord", {}], ["camCloseDev", { devIndex: 0 }], ["camCloseDev", { devIndex: 1 }]]) {
      await client.call(name, args);
    }
  } finally {
    client.close();
  }
}

// Runs body with a fresh browser context, closed however the test ends.
async function inContext(body, { locale = "en-US" } = {}) {
  await stopTheCameras();
  const context = await browser.newContext({ viewport: { width: 1366, height: 768 }, locale });
  try {
    return await body(context);
  } finally {
    await context.close();
  }
}

async function openDemo(context, options = {}) {
  const page = await context.newPage();
  const problems = [];
  page.on("pageerror", (error) => problems.push(error.message));
  await page.goto(`${server.httpUrl}/demo/`);
  await page.waitForSelector('#connectionState[data-state="open"]', { timeout: 15000 });
  await page.waitForFunction(() => document.querySelectorAll("#device option").length === 2, null, { timeout: 15000 });
  // The files the page makes stay in the service's private layout.
  if (!options.keepWorkFolder) {
    await page.fill("#workFolder", server.work);
    await page.dispatchEvent("#workFolder", "change");
  }
  return { page, problems };
}

const call = (page, name, args = {}) => page.evaluate(([n, a]) => window.lenvaroDemo.client.call(n, a), [name, args]);
const frames = (page) => page.$eval("#frameCount", (output) => Number(output.value));
const waitForFrames = (page, atLeast, timeout = 30000) =>
  page.waitForFunction((n) => Number(document.querySelector("#frameCount").value) >= n, atLeast, { timeout });
const selectedText = (page, id) => page.$eval(id, (select) => select.selectedOptions[0]?.textContent ?? "");
const resultText = (page) => page.textContent("#resultText");

// Clicks an action's button and waits until the action is over (its button is disabled while
// it runs); the result it shows.
async function clickAndWaitForResult(page, selector) {
  await page.click(selector);
  await page.waitForFunction((button) => !document.querySelector(button).disabled, selector, { timeout: 60000 });
  return resultText(page);
}

// The commands the page sent, from its log.
const sentCommands = (page, name) => page.$$eval("#log .out", (lines, n) => lines.filter((line) => line.textContent.includes(`→ "${n}" `)).length, name);
const serviceStatus = (page) => page.evaluate(async () => (await fetch("/status")).json());

test("the demo page drives the simulated devices, in either language", { timeout: 120000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  await inContext(async (context) => {
    const { page, problems } = await openDemo(context);
    await page.waitForSelector('#serviceStatus[data-state="found"]', { timeout: 15000 });
    assert.match(await page.textContent("#serviceStatus"), /^Lenvaro Server \d/);

    await page.selectOption("#previewWidth", "640");
    await page.click("#openCamera");
    await waitForFrames(page, 10);
    const preview = await page.$eval("#preview", (image) => ({ width: image.naturalWidth, height: image.naturalHeight }));
    assert.ok(preview.width > 0 && preview.width <= 640, JSON.stringify(preview));
    // The picture fills its box, whatever width was asked.
    const shown = await page.$eval("#preview", (image) => [image.getBoundingClientRect().width, image.parentElement.getBoundingClientRect().width]);
    assert.ok(Math.abs(shown[0] - shown[1]) < 2, JSON.stringify(shown));
    // Once open, the pickers list the camera's types and sizes, with the size it runs at, and
    // the custom crop box lies inside that frame.
    await page.waitForFunction(() => document.querySelectorAll("#resolution option").length > 1);
    const running = await call(page, "camGetCurResolution");
    assert.equal(await selectedText(page, "#resolution"), running);
    const [frameWidth, frameHeight] = running.split("*").map(Number);
    const box = await page.$$eval("#cropLeft, #cropTop, #cropRight, #cropBottom", (inputs) => inputs.map((input) => Number(input.value)));
    assert.ok(box[0] > 0 && box[1] > 0 && box[2] < frameWidth && box[3] < frameHeight && box[0] < box[2] && box[1] < box[3], JSON.stringify(box));

    // The same helper draws into a canvas, newest frame first.
    const canvas = await page.evaluate(async () => {
      const { showPreview } = await import("/demo/client/lenvaro-client.js");
      const target = document.createElement("canvas");
      const drawn = showPreview(window.lenvaroDemo.client, target);
      const deadline = Date.now() + 15000;
      while (drawn.rendered < 3 && Date.now() < deadline) await new Promise((resolve) => setTimeout(resolve, 50));
      drawn.stop();
      return { rendered: drawn.rendered, width: target.width, height: target.height };
    });
    assert.ok(canvas.rendered >= 3, JSON.stringify(canvas));
    assert.deepEqual([canvas.width, canvas.height], [preview.width, preview.height]);

    await page.click("#captureBase64");
    await page.waitForFunction(() => {
      const image = document.querySelector("#resultImage");
      return image.src.startsWith("data:image/jpeg;base64,") && image.complete && image.naturalWidth > 0;
    }, null, { timeout: 20000 });
    assert.ok(await page.$eval("#resultImage", (image) => image.naturalWidth) > 640);

    await page.click('#tabs button[data-tab="cards"]');
    await page.click("#readIdCard");
    await page.waitForFunction(() => document.querySelector("#idCardFields")?.textContent.includes("110101199003071233"), null, { timeout: 15000 });
    const fields = await page.$$eval("#idCardFields tr td:last-child", (cells) => cells.map((cell) => cell.textContent));
    assert.equal(fields[0], "张三");
    assert.equal(fields.length, 9);
    // An unrelated result does not keep the capture's picture beside it.
    assert.equal(await page.$eval("#resultImage", (image) => image.hasAttribute("src")), false);

    // Every label follows the language, those drawn after a read included; only data stays as it is.
    assert.equal(await page.textContent("#openCamera"), "打开相机");
    await page.click("#language");
    const leftInChinese = await page.evaluate(() => {
      const data = ["#log", "#resultText", "#fileList", "#language"].map((selector) => document.querySelector(selector));
      const texts = [document.title];
      const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
      while (walker.nextNode()) {
        const node = walker.currentNode;
        const element = node.parentElement;
        if (data.some((box) => box.contains(element)) || element.closest("#idCardFields td:last-child")) continue;
        if (element.closest("select") && !element.closest("option[data-i18n]") && element.tagName === "OPTION") continue;
        texts.push(node.textContent);
      }
      return texts.filter((text) => /[\u3400-\u9fff]/.test(text));
    });
    assert.deepEqual(leftInChinese, []);
    assert.equal(await page.textContent("#idCardFields td"), "Name");
    await page.click("#language");

    // Failures the page learns of read in its language: a call while not connected.
    await page.click('#tabs button[data-tab="capture"]');
    await page.evaluate(() => window.lenvaroDemo.client.close());
    assert.equal(await clickAndWaitForResult(page, "#captureFile"), "未连接到服务，camCaptureImageFile 未发送");
    await page.click("#reconnect");
    await page.waitForSelector('#connectionState[data-state="open"]', { timeout: 15000 });

    if (process.env.LENVARO_DEMO_SCREENSHOT) {
      // Both languages: the name given (Chinese) and the same with "-en" before ".png".
      await waitForFrames(page, (await frames(page)) + 3);
      for (const [file, switchLanguage] of [[process.env.LENVARO_DEMO_SCREENSHOT, false], [process.env.LENVARO_DEMO_SCREENSHOT.replace(/\.png$/, "-en.png"), true]]) {
        if (switchLanguage) await page.click("#language");
        await page.click("#captureBase64");
        await page.waitForFunction(() => document.querySelector("#resultText").textContent.startsWith("CaptureEncodeBase64:"));
        await page.screenshot({ path: file });
      }
    }
    await call(page, "camCloseDev", { devIndex: 0 });
    assert.deepEqual(problems, []);
  }, { locale: "zh-CN" });
});

test("the second camera opens from a fresh page, the pickers follow it, and close closes it", { timeout: 120000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  await inContext(async (context) => {
    const { page, problems } = await openDemo(context);
    await page.selectOption("#device", "1");
    // Nothing is known of the second camera's formats before it is open.
    assert.equal(await page.$eval("#resolution", (select) => select.options.length), 1);
    await page.click("#openCamera");
    await waitForFrames(page, 5);
    assert.equal(await resultText(page), "0");
    assert.deepEqual(await page.evaluate(() => window.lenvaroDemo.camera), { open: 1, listsFor: 1 });
    await page.waitForFunction(() => document.querySelectorAll("#resolution option").length > 1);
    const sizes = await page.$$eval("#resolution option", (options) => options.map((option) => option.textContent));
    assert.ok(sizes.includes("1280*720"), sizes.join());
    assert.equal(await selectedText(page, "#resolution"), await call(page, "camGetCurResolution"));

    // Another size, then a reopen: the picker shows what the camera runs at each time.
    const smaller = sizes.find((size) => size !== "1280*720");
    await page.selectOption("#resolution", { label: smaller });
    await page.waitForFunction((size) => document.querySelector("#resolution").selectedOptions[0].textContent === size, smaller);
    assert.equal(await call(page, "camGetCurResolution"), smaller);
    assert.equal(await clickAndWaitForResult(page, "#openCamera"), "0");
    const running = await call(page, "camGetCurResolution");
    assert.equal(await selectedText(page, "#resolution"), running);

    // The device picker moves to the first camera; "Close camera" still closes the open one.
    await page.selectOption("#device", "0");
    await clickAndWaitForResult(page, "#closeCamera");
    assert.equal(await page.evaluate(() => window.lenvaroDemo.previewState), "idle");
    assert.match(await page.textContent("#log"), /"camCloseDev" \{"devIndex":1\}/);
    const stopped = await frames(page);
    await page.waitForTimeout(1500);
    assert.equal(await frames(page), stopped, "no frame after the close");
    // Without a camera the current size reads as such.
    assert.equal(await call(page, "camGetCurResolution"), "18446744073709551615*18446744073709551615");
    await page.click('#tabs button[data-tab="console"]');
    await page.fill("#consoleName", "camGetCurResolution");
    assert.equal(await clickAndWaitForResult(page, "#consoleSend"), "18446744073709551615*18446744073709551615: no camera open");
    assert.deepEqual(problems, []);
  });
});

test("a reload shows the service's camera and settings, and Close camera closes that camera", { timeout: 120000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  await inContext(async (context) => {
    const { page, problems } = await openDemo(context);
    await page.selectOption("#device", "1");
    await page.click("#openCamera");
    await waitForFrames(page, 3);
    await page.waitForFunction(() => document.querySelectorAll("#resolution option").length > 1);
    await page.selectOption("#rotateMode", "1");
    await page.selectOption("#cropType", "1");
    await clickAndWaitForResult(page, "#applySettings");
    await page.selectOption("#previewWidth", "320");
    await waitFor(async () => (await serviceStatus(page)).previewWidth === 320, 10000, "the preview width");

    await page.reload();
    await page.waitForSelector('#connectionState[data-state="open"]', { timeout: 15000 });
    await page.waitForFunction(() => window.lenvaroDemo.camera.open === 1, null, { timeout: 15000 });
    const shown = await page.evaluate(() => ["device", "rotateMode", "cropType", "previewWidth"].map((id) => document.getElementById(id).value));
    const status = JSON.stringify(await serviceStatus(page));
    assert.deepEqual(shown, ["1", "1", "1", "320"], status);
    await page.waitForFunction(() => document.querySelectorAll("#resolution option").length > 1);
    await page.waitForFunction((size) => document.querySelector("#resolution").selectedOptions[0]?.textContent === size,
      await call(page, "camGetCurResolution"), { timeout: 15000 });
    await waitForFrames(page, 3);
    assert.equal(await page.evaluate(() => window.lenvaroDemo.previewState), "live");

    // Closes device 1, the one the service has open, not the device 0 a fresh page would send.
    await clickAndWaitForResult(page, "#closeCamera");
    assert.match(await page.textContent("#log"), /"camCloseDev" \{"devIndex":1\}/);
    assert.deepEqual((await serviceStatus(page)).cameras, []);
    const stopped = await frames(page);
    await page.waitForTimeout(1500);
    assert.equal(await frames(page), stopped, "no frame after the close");
    assert.deepEqual(problems, []);
  });
});

test("the work folder fills every path; captures, recordings, auto captures and documents are shown", { timeout: 150000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  await inContext(async (context) => {
    const { page, problems } = await openDemo(context, { keepWorkFolder: true });
    assert.equal(await page.inputValue("#capturePath"), "/tmp/lenvaro-capture.jpg");
    await page.fill("#workFolder", server.work);
    await page.dispatchEvent("#workFolder", "change");
    const paths = await page.$$eval("input[data-file]", (inputs) => inputs.map((input) => input.value));
    for (const value of paths) assert.ok(value === server.work || value.startsWith(`${server.work}/`), value);
    const inWork = (name) => path.join(server.work, name);
    // The ID card photo is a bitmap.
    assert.equal(await page.inputValue("#headPath"), inWork("lenvaro-head.bmp"));

    await page.click("#openCamera");
    await waitForFrames(page, 3);
    assert.equal(await clickAndWaitForResult(page, "#captureFile"), `Saved to ${inWork("lenvaro-capture.jpg")}`);
    assert.ok(fs.existsSync(inWork("lenvaro-capture.jpg")));
    assert.ok(await page.$eval("#resultImage", (image) => image.naturalWidth) > 0);

    assert.equal(await clickAndWaitForResult(page, "#recordStart"), "0");
    assert.match(await page.textContent("#recordState"), /^Recording 0:0\d$/);
    assert.equal((await serviceStatus(page)).recording.device, 0);
    await page.waitForFunction(() => document.querySelector("#recordState").value === "Recording 0:01", null, { timeout: 5000 });
    assert.equal(await clickAndWaitForResult(page, "#recordStop"), `Recording saved to ${inWork("lenvaro-record.avi")}`);
    assert.equal(await page.textContent("#recordState"), "Not recording");
    assert.ok(fs.statSync(inWork("lenvaro-record.avi")).size > 0);

    // Auto capture: each library event counted once, each file written listed.
    assert.equal(await clickAndWaitForResult(page, "#autoStart"), "0");
    assert.equal(await page.textContent("#autoState"), "Running");
    await page.waitForFunction(() => document.querySelectorAll("#autoFiles li").length >= 1, null, { timeout: 30000 });
    await clickAndWaitForResult(page, "#autoStop");
    const auto = await page.evaluate(() => window.lenvaroDemo.autoCapture);
    assert.equal(auto.files[0], inWork("lenvaro-auto1.jpg"));
    for (const file of auto.files) assert.ok(fs.existsSync(file), file);
    assert.ok(auto.events >= auto.files.length && auto.events <= auto.files.length + 1, JSON.stringify(auto));
    assert.equal(await page.textContent("#autoState"), "Not running");

    await page.click('#tabs button[data-tab="documents"]');
    assert.equal(await clickAndWaitForResult(page, "#pdfAdd"), "0");
    assert.equal(await page.textContent("#pdfList"), "Pictures in the service's list: 1");
    assert.equal(await clickAndWaitForResult(page, "#pdfCombine"), `Written to ${inWork("lenvaro-document.pdf")}`);
    assert.equal(await page.textContent("#pdfList"), "Pictures in the service's list: 0");
    assert.ok(fs.existsSync(inWork("lenvaro-document.pdf")));
    // The capture beside itself: twice as wide, shown once written.
    await clickAndWaitForResult(page, "#combineImage");
    await page.waitForFunction(() => document.querySelector("#resultImage").naturalWidth > 0, null, { timeout: 20000 });
    const captureWidth = await page.evaluate(async (file) => {
      const base64 = await window.lenvaroDemo.client.call("FileEncodeBase64", { filePath: file });
      const image = new Image();
      image.src = `data:image/jpeg;base64,${base64.replace(/\r\n/g, "")}`;
      await image.decode();
      return image.naturalWidth;
    }, inWork("lenvaro-capture.jpg"));
    assert.equal(await page.$eval("#resultImage", (image) => image.naturalWidth), 2 * captureWidth);
    assert.ok(fs.existsSync(inWork("lenvaro-combined.jpg")));

    // Failures read as such, with their meaning; after a failed add the list is re-read too.
    await page.fill("#pdfImage", inWork("missing.jpg"));
    assert.equal(await clickAndWaitForResult(page, "#pdfAdd"), "-99: no file at that path");
    assert.match(await clickAndWaitForResult(page, "#pdfCombine"), /^Not combined/);
    assert.equal(await page.textContent("#pdfList"), "Pictures in the service's list: 0");
    assert.equal(await page.$eval("#resultText", (text) => text.classList.contains("failure")), true);
    await call(page, "camCloseDev", { devIndex: 0 });
    await page.click('#tabs button[data-tab="capture"]');
    assert.equal(await clickAndWaitForResult(page, "#captureBase64"), "No picture came back: is a camera open?");
    await page.click('#tabs button[data-tab="recognition"]');
    await page.fill("#recImage", inWork("missing.png"));
    assert.equal(await clickAndWaitForResult(page, "#barcode"), `The file ${inWork("missing.png")} could not be read`);
    assert.deepEqual(problems, []);
  });
});

test("a double click sends one command, and the PDF list shown is the service's", { timeout: 90000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  await inContext(async (context) => {
    const { page, problems } = await openDemo(context);
    await page.click("#openCamera");
    await waitForFrames(page, 3);
    assert.match(await clickAndWaitForResult(page, "#captureFile"), /^Saved to /);
    await page.click('#tabs button[data-tab="documents"]');
    for (const [button, command] of [["#pdfAdd", "camAddFileToPDFList"], ["#pdfCombine", "camCombinePDF"]]) {
      await page.dblclick(button);
      await page.waitForFunction((selector) => !document.querySelector(selector).disabled, button, { timeout: 30000 });
      assert.equal(await sentCommands(page, command), 1, command);
    }
    assert.equal(await page.textContent("#pdfList"), "Pictures in the service's list: 0");
    // Combining an empty list tells why.
    assert.equal(await clickAndWaitForResult(page, "#pdfCombine"), "-2: the list is empty (add pictures first), or no output path was given");
    // The Files tab lists with single slashes and deletes.
    await page.click('#tabs button[data-tab="files"]');
    await page.fill("#listFolder", server.work);
    await clickAndWaitForResult(page, "#listFiles");
    const listed = await page.$$eval("#fileList li span", (items) => items.map((item) => item.textContent));
    const capture = path.join(server.work, "lenvaro-capture.jpg");
    assert.ok(listed.includes(capture), listed.join());
    assert.ok(listed.every((file) => !file.includes("//")), listed.join());
    const row = page.locator("#fileList li", { hasText: capture });
    await row.locator("button").click();
    await page.waitForFunction((file) => document.querySelector("#resultText").textContent === `Deleted ${file}`, capture, { timeout: 15000 });
    assert.equal(fs.existsSync(capture), false);
    await call(page, "camCloseDev", { devIndex: 0 });
    assert.deepEqual(problems, []);
  });
});

test("templates by name, a cleared signature, no password in the log, a console that fits, an icon", { timeout: 120000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  await inContext(async (context) => {
    const { page, problems } = await openDemo(context);
    await page.waitForFunction(() => document.querySelectorAll("#templateIndex option").length > 0);
    assert.equal(await selectedText(page, "#templateIndex"), "VisitorRegistration");

    // Pixels of the signature shown in the result that are not the white background.
    const inkedPixels = () => page.evaluate(async () => {
      const image = document.querySelector("#resultImage");
      await image.decode();
      const canvas = Object.assign(document.createElement("canvas"), { width: image.naturalWidth, height: image.naturalHeight });
      const drawing = canvas.getContext("2d");
      drawing.drawImage(image, 0, 0);
      const { data } = drawing.getImageData(0, 0, canvas.width, canvas.height);
      let inked = 0;
      for (let i = 0; i < data.length; i += 4) if (data[i] < 200 || data[i + 1] < 200) inked += 1;
      return inked;
    });
    const signatureShown = async () => {
      await clickAndWaitForResult(page, "#signImage");
      await page.waitForFunction(() => document.querySelector("#resultImage").src.startsWith("data:image/png"), null, { timeout: 15000 });
      return inkedPixels();
    };
    await page.click('#tabs button[data-tab="signature"]');
    // A signature that could not be written: said so, not shown as an empty picture.
    const signPath = await page.inputValue("#signPath");
    await page.fill("#signPath", path.join(server.work, "no-such-folder", "sign.png"));
    assert.match(await clickAndWaitForResult(page, "#signImage"), /^No signature to show/);
    await page.fill("#signPath", signPath);
    assert.equal(await clickAndWaitForResult(page, "#signStart"), "0");
    await waitFor(async () => (await signatureShown()) > 0, 20000, "the simulated signer's stroke");
    assert.equal(await clickAndWaitForResult(page, "#signAgain"), "0");
    assert.equal(await signatureShown(), 0, "sign again starts from a blank pad");

    await page.click('#tabs button[data-tab="files"]');
    await page.fill("#ftpPassword", "s3cret-Word");
    await clickAndWaitForResult(page, "#uploadFtp");
    const logged = await page.textContent("#log");
    assert.match(logged, /"struserPsd":"••••••"/);
    assert.equal(logged.includes("s3cret-Word"), false);
    // No server at the HTTP address: a failure, not an empty success.
    await page.fill("#uploadUrl", `http://127.0.0.1:${await freePort()}/upload`);
    assert.equal(await clickAndWaitForResult(page, "#uploadHttp"), "The upload failed: the server could not be reached or gave no answer");

    await page.click('#tabs button[data-tab="console"]');
    const fits = await page.evaluate(() => {
      const panel = document.querySelector("#tab-console").getBoundingClientRect();
      return [...document.querySelectorAll("#tab-console textarea, #tab-console input")]
        .every((field) => field.getBoundingClientRect().right <= panel.right);
    });
    assert.equal(fits, true);

    const icon = await page.evaluate(async () => {
      const response = await fetch("/favicon.ico");
      return { status: response.status, type: response.headers.get("content-type") };
    });
    assert.deepEqual(icon, { status: 200, type: "image/x-icon" });
    assert.deepEqual(problems, []);
  });
});

test("two tabs: the page that lost the preview says so and takes it back on a click", { timeout: 120000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  await inContext(async (context) => {
    const first = await openDemo(context);
    await first.page.click("#openCamera");
    await waitForFrames(first.page, 3);

    // A second tab connects: the preview is pushed to it from now on. Frames already on their
    // way to the first tab do not make it look live again.
    const second = await openDemo(context);
    await first.page.waitForFunction(() => window.lenvaroDemo.previewState === "taken", null, { timeout: 15000 });
    await waitForFrames(second.page, 3);
    assert.equal(await first.page.evaluate(() => window.lenvaroDemo.previewState), "taken");
    assert.equal(await first.page.isVisible("#takeBack"), true);
    assert.match(await first.page.textContent("#previewMessage"), /Another page has taken the preview/);

    await first.page.click("#takeBack");
    await first.page.waitForFunction(() => window.lenvaroDemo.previewState === "live", null, { timeout: 15000 });
    const resumed = await frames(first.page);
    await waitForFrames(first.page, resumed + 3);
    await second.page.waitForFunction(() => ["taken", "stalled"].includes(window.lenvaroDemo.previewState), null, { timeout: 15000 });
    await call(first.page, "camCloseDev", { devIndex: 0 });
    assert.deepEqual([...first.problems, ...second.problems], []);
  });
});

test("two tabs each get their own replies, and the preview comes back when the other closes", { timeout: 90000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  await inContext(async (context) => {
    const first = await openDemo(context);
    const second = await openDemo(context);
    const [one, two] = await Promise.all([
      first.page.evaluate(() => window.lenvaroDemo.client.call("camGetDevCount", {}, { timeoutMs: 5000 })),
      second.page.evaluate(() => window.lenvaroDemo.client.call("camGetDevName", {}, { timeoutMs: 5000 })),
    ]);
    assert.equal(one, "2");
    assert.equal(two.length, 2);

    // The preview goes to the newest page still open: back to the first when the second closes.
    await first.page.click("#openCamera");
    await first.page.waitForFunction(() => window.lenvaroDemo.previewState === "taken", null, { timeout: 15000 });
    await second.page.close();
    await first.page.waitForFunction(() => window.lenvaroDemo.previewState === "live", null, { timeout: 15000 });
    await call(first.page, "camCloseDev", { devIndex: 0 });
  });
});

// Last: it stops the service.
test("one notice tells when the service goes away; the preview asks for the camera once it is back", { timeout: 120000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  await inContext(async (context) => {
    const { page } = await openDemo(context);
    await page.waitForSelector('#serviceStatus[data-state="found"]', { timeout: 30000 });
    await page.click("#openCamera");
    await waitForFrames(page, 3);

    const port = server.port;
    await server.stop();
    await page.waitForFunction(() => window.lenvaroDemo.previewState === "lost", null, { timeout: 30000 });
    await page.waitForSelector('#notice[data-kind="notice.absent"]', { timeout: 30000 });
    assert.match(await page.textContent("#notice"), /not running on this computer\. Start it: scripts\/start/);
    assert.equal(await page.isVisible("#serviceStatus"), false);
    assert.notEqual(await page.getAttribute("#connectionState", "data-state"), "open");
    assert.match(await page.textContent("#previewMessage"), /Connection lost/);
    // Told once, not at every attempt.
    await page.waitForTimeout(2000);
    assert.equal(await page.$$eval("#log .error", (lines) => lines.filter((line) => line.textContent.endsWith("unavailable")).length), 1);

    // A new service on the same port: connected again, and told that its camera is not open.
    server = new ServerProcess({ port, simulator: slowSigner });
    await server.start();
    await page.waitForSelector('#connectionState[data-state="open"]', { timeout: 30000 });
    await page.waitForSelector('#serviceStatus[data-state="found"]', { timeout: 30000 });
    assert.equal(await page.isVisible("#notice"), false);
    await page.waitForFunction(() => window.lenvaroDemo.previewState === "reopen", null, { timeout: 15000 });
    assert.match(await page.textContent("#previewMessage"), /open the camera again/);
    const before = await frames(page);
    await page.click("#openCamera");
    await waitForFrames(page, before + 3);
    assert.equal(await page.evaluate(() => window.lenvaroDemo.previewState), "live");
  });
});
