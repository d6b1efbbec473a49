// The client library against the real executable with the built-in capture library: every reply
// form, and the commands that never reply, reply later or may not reply.
import assert from "node:assert/strict";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import {
  LenvaroClient,
  addressSpaceOf,
  describeStatus,
  explainRefusal,
  fetchStatus,
  localNetworkPermission,
  parseMessage,
  splitListing,
  splitMarkerFields,
} from "../../web/client/lenvaro-client.js";
import { ServerProcess, freePort } from "./server.mjs";
import { WebSocket as PackageWebSocket } from "ws";

// Node has a WebSocket of its own from version 22 on; before that the ws package stands in.
const WebSocket = globalThis.WebSocket ?? PackageWebSocket;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(predicate, timeoutMs, what) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(20);
  }
}

// A secure public page whose browser is asking the user about local network access, and a
// connection that neither opens nor fails, as while that question is shown.
const askingPage = {
  pageUrl: "https://counter.bank.example/", secureContext: true, permissions: { query: async () => ({ state: "prompt" }) },
};
class HeldSocket {
  constructor() {
    this.readyState = 0;
  }
  close() {}
}

const base64Of = (file) => fs.readFileSync(file).toString("base64");
const isJpeg = (base64) => Buffer.from(base64.replace(/\r\n/g, ""), "base64").subarray(0, 2).equals(Buffer.from([0xff, 0xd8]));

describe("parseMessage takes every reply form apart", () => {
  test("quoted and raw replies", () => {
    assert.deepEqual(parseMessage('{"FuncName":"camGetDevCount","result":"2"}'),
      { kind: "reply", name: "camGetDevCount", names: ["camGetDevCount"], result: "2", form: "quoted",
        text: '{"FuncName":"camGetDevCount","result":"2"}' });
    assert.deepEqual(parseMessage('{"FuncName":"camGetDevName","result":["A","B"]}').result, ["A", "B"]);
    assert.deepEqual(parseMessage('{"FuncName":"camUpdataFileHttp","result":{"code":0}}').result, { code: 0 });
    assert.equal(parseMessage('{"FuncName":"x","result":""}').result, "");
  });

  test("results holding quotes and backslashes, which are not valid JSON", () => {
    const form = parseMessage('{"FuncName":"OtrRecog ","result":"{"Name":"Alice","Company":"N"}"}');
    assert.equal(form.name, "OtrRecog ");
    assert.equal(form.form, "quoted");
    assert.deepEqual(JSON.parse(form.result), { Name: "Alice", Company: "N" });
    assert.equal(parseMessage('{"FuncName":"idcardrfidReadIDCard","result":"A "B"|C:\\dir\\x"}').result, 'A "B"|C:\\dir\\x');
    // A raw value that does not parse is kept as its text.
    assert.equal(parseMessage('{"FuncName":"camGetDevName","result":["a"b"]}').result, '["a"b"]');
  });

  test("marker replies versus preview frames", () => {
    assert.deepEqual(parseMessage("$*$/9j/4AAQ=="), { kind: "frame", data: "/9j/4AAQ==" });
    const file = parseMessage("$*$FileEncodeBase64$*$QUJD\r\nREVG");
    assert.equal(file.name, "FileEncodeBase64");
    assert.equal(file.result, "QUJD\r\nREVG");
    assert.deepEqual(splitMarkerFields(parseMessage("$*$GetFingerprint$*$aW1n$*$ZmVh").result), ["aW1n", "ZmVh"]);
    assert.deepEqual(splitMarkerFields(parseMessage("$*$idcardrfidGetOneFingerprintMsg$*$dA==$*$-1").result), ["dA==", "-1"]);
    const listing = parseMessage("$$$/a//x.jpg;/a//y.jpg;");
    assert.equal(listing.name, "getFolderDayFileA");
    assert.deepEqual(splitListing(listing.result), ["/a//x.jpg", "/a//y.jpg"]);
    assert.deepEqual(splitListing(parseMessage("$$$").result), []);
    const text = parseMessage("$-$Hello\nworld");
    assert.equal(text.name, null);
    assert.deepEqual(text.names, ["ocrCombineToString", "ocrCombineSingleToString"]);
    assert.equal(text.result, "Hello\nworld");
  });

  test("describeStatus knows the library's statuses and what one command means by its own", () => {
    const cases = [
      ["-2", "camCaptureImageFile", /an argument was refused/],
      ["-2", "camOpenDev", /does not list that media type or size/],
      ["-2", "camCombinePDF", /the list is empty/],
      ["-99", "camAddFileToPDFList", /no file at that path/],
      ["18446744073709551615*18446744073709551615", "camGetCurResolution", /no camera open/],
      ["18446744073709551615", "camInitCameraLib", /could not be initialised/],
      ["-99", "camCaptureImageFile", null],
      ["1920*1080", "camGetCurResolution", null],
      ["0", "camCombinePDF", null],
      ["2", "camGetDevCount", null],
      [["-1"], "camGetDevName", null],
    ];
    for (const [result, command, meaning] of cases) {
      const described = describeStatus(result, command);
      if (meaning === null) assert.equal(described, null, `${result} ${command}`);
      else assert.match(described ?? "", meaning, `${result} ${command}`);
    }
  });

  test("anything else is unknown", () => {
    assert.equal(parseMessage("hello").kind, "unknown");
    assert.equal(parseMessage('{"FuncName":"a"').kind, "unknown");
  });
});

describe("against the real service", () => {
  let server;
  let client;
  let frames = 0;
  const autoEvents = [];

  before(async () => {
    // Page turns every second, so auto capture has something to report soon.
    server = new ServerProcess({ simulator: (text) => text.replace(/"pageTurnSeconds":\s*\d+/, '"pageTurnSeconds": 1') });
    await server.start();
    client = new LenvaroClient({ WebSocket, url: server.url, timeoutMs: 20000 });
    client.on("frame", () => {
      frames += 1;
    });
    client.on("autoCapture", (event) => autoEvents.push(event));
    await client.connect();
  });

  after(async () => {
    client?.close();
    await server?.stop();
  });

  test("GET /status names the service", async () => {
    const status = await fetchStatus(server.url);
    assert.equal(status.name, "Lenvaro Server");
    assert.match(status.version, /^\d+\.\d+\.\d+$/);
    assert.deepEqual(status.cameras, []);
    const response = await fetch(`${server.httpUrl}/status`);
    assert.equal(response.headers.get("access-control-allow-origin"), "*");
  });

  test("quoted results and raw lists", async () => {
    assert.equal(await client.call("camGetDevCount"), "2");
    const names = await client.call("camGetDevName");
    assert.ok(Array.isArray(names) && names.length === 2, JSON.stringify(names));
    const reply = await client.request("camGetMediaTypeName");
    assert.equal(reply.form, "raw");
    assert.ok(reply.result.includes("MJPG"));
  });

  test("commands that are never answered resolve at once and do not hold up the next", async () => {
    assert.equal(await client.call("PreZoneSize", { width: 640 }), undefined);
    assert.equal(await client.call("camGetMicrophoneVolumeLevel"), undefined);
    const [count, sizes] = await Promise.all([client.call("camGetDevCount"), client.call("camGetResolution")]);
    assert.equal(count, "2");
    assert.ok(sizes.includes("2592*1944"), JSON.stringify(sizes));
  });

  test("preview frames arrive as events while capture replies are matched by name", async () => {
    assert.equal(await client.call("camOpenDev", { devIndex: 0, subtype: 0, width: 1280, height: 720 }), "0");
    await waitFor(() => frames >= 3, 10000, "preview frames");
    const capture = path.join(server.work, "capture.jpg");
    assert.equal(await client.call("camCaptureImageFile", { filePath: capture }), "0");
    // "$*$FileEncodeBase64$*$..." is the answer, not a frame, although frames keep coming.
    const encoded = await client.call("FileEncodeBase64", { filePath: capture });
    assert.match(encoded, /\r\n/);
    assert.equal(encoded.replace(/\r\n/g, ""), base64Of(capture));
    const direct = await client.call("CaptureEncodeBase64");
    assert.ok(isJpeg(direct));
    assert.equal(await client.call("FileEncodeBase64", { filePath: path.join(server.work, "missing.jpg") }), "");
  });

  test("auto capture events are pushed as events", async () => {
    autoEvents.length = 0;
    assert.equal(await client.call("camStartAutoCapture", { type: 0, param: 7, filePath: path.join(server.work, "auto.jpg") }), "0");
    await waitFor(() => autoEvents.includes("0"), 15000, "an auto capture");
    assert.ok(autoEvents.includes("7"), JSON.stringify(autoEvents));
    assert.equal(await client.call("camStopAutoCapture"), "0");
    assert.ok(fs.existsSync(path.join(server.work, "auto1.jpg")));
  });

  test("a background face match answers later without holding up other calls", async () => {
    assert.equal(await client.call("camInitFace"), "0");
    const capture = path.join(server.work, "face.jpg");
    assert.equal(await client.call("camCaptureImageFile", { filePath: capture }), "0");
    const started = Date.now();
    // A score above 100 is never reached: the worker tries for ldelayTime, then pushes its last score.
    const match = client.call("camStartAsyMatchFaceBase64Video", { personFace: base64Of(capture), ldelayTime: 1500, score: 101 });
    assert.equal(await client.call("camGetDevCount"), "2");
    assert.ok(Date.now() - started < 1500, "the count waited for the match");
    const score = await match;
    assert.match(score, /^\d+$/);
    assert.ok(Date.now() - started >= 1400);
  });

  test("folder listings and recognised text", async () => {
    const folder = path.join(server.work, "list");
    fs.mkdirSync(folder);
    for (const name of ["b.jpg", "a.jpg"]) fs.writeFileSync(path.join(folder, name), "x");
    const listing = await client.call("getFolderDayFileA", { Dictpry: folder });
    assert.deepEqual(splitListing(listing), [`${folder}//a.jpg`, `${folder}//b.jpg`]);
    assert.equal(await client.call("getFolderDayFileA", { Dictpry: path.join(server.work, "none") }), "");

    const languages = await client.call("ocrGetLanguageName");
    assert.ok(languages.includes("eng"), JSON.stringify(languages));
    const form = path.join(server.root, "cfg", "sample_form.jpg");
    const text = await client.call("ocrCombineSingleToString", { strImagePath: form, language: languages.indexOf("eng") });
    assert.match(text, /Northwind/);
  });

  test("template texts that are not JSON as a whole", async () => {
    const count = Number(await client.call("otrGetTemplateCount "));
    assert.ok(count >= 1);
    const info = JSON.parse(await client.call("otrGetTemplateInfo ", { index: 0 }));
    assert.equal(typeof info, "object");
    const form = path.join(server.root, "cfg", "sample_form.jpg");
    const fields = JSON.parse(await client.call("OtrRecog ", { index: 0, strimagePath: form }));
    assert.equal(fields.Name, "Alice Johnson");
  });

  test("card texts and the fingerprint marker forms", async () => {
    const head = path.join(server.work, "head.jpg");
    const id = (await client.call("idcardrfidReadIDCard", { HeadPath: head })).split("|");
    assert.equal(id.length, 9);
    assert.equal(id[0], "张三");
    assert.equal(id[5], "110101199003071233");
    const [template, status] = splitMarkerFields(
      await client.call("idcardrfidGetOneFingerprintMsg", { nIndex: 0, filePath: path.join(server.work, "t.dat") }));
    assert.equal(template.replace(/\r\n/g, "").length, Math.ceil(512 / 3) * 4);
    assert.equal(status, "0");

    assert.equal(await client.call("fingerprintInit"), "0");
    const [image, feature] = splitMarkerFields(await client.call("GetFingerprint", {
      bmpPath: path.join(server.work, "f.bmp"), FeaturePath: path.join(server.work, "f.dat"),
    }));
    assert.equal(image.replace(/\r\n/g, ""), base64Of(path.join(server.work, "f.bmp")));
    assert.equal(feature.replace(/\r\n/g, ""), base64Of(path.join(server.work, "f.dat")));
  });

  test("upload answers embedded raw or quoted", async () => {
    const answers = ['{"code":0,"name":"a"}', "OK"];
    const receiver = http.createServer((request, response) => {
      request.resume();
      request.on("end", () => response.end(answers.shift()));
    });
    await new Promise((resolve) => receiver.listen(0, "127.0.0.1", resolve));
    try {
      const file = path.join(server.work, "upload.txt");
      fs.writeFileSync(file, "content");
      const url = `http://127.0.0.1:${receiver.address().port}/upload`;
      assert.deepEqual(await client.call("camUpdataFileHttp", { filePath: file, url, param: "a=1" }), { code: 0, name: "a" });
      assert.equal(await client.call("camUpdataFileHttp", { filePath: file, url, param: "" }), "OK");
    } finally {
      receiver.close();
    }
  });

  test("a combine after a failed add resolves null, and later calls are not confused", async () => {
    assert.equal(await client.call("camAddFileToPDFList", { filePath: path.join(server.work, "missing.jpg") }), "-99");
    const pdf = path.join(server.work, "doc.pdf");
    const [combined, count] = await Promise.all([
      client.call("camCombinePDF", { filePath: pdf, JpegQuality: 0 }),
      client.call("camGetDevCount"),
    ]);
    assert.equal(combined, null);
    assert.equal(count, "2");
    assert.ok(!fs.existsSync(pdf));

    // An add in flight decides for the combine sent behind it.
    const [added, again, after] = await Promise.all([
      client.call("camAddFileToPDFList", { filePath: path.join(server.work, "missing2.jpg") }),
      client.call("camCombinePDF", { filePath: pdf, JpegQuality: 0 }),
      client.call("camGetDevCount"),
    ]);
    assert.deepEqual([added, again, after], ["-99", null, "2"]);

    assert.equal(await client.call("camAddFileToPDFList", { filePath: path.join(server.work, "capture.jpg") }), "0");
    assert.equal(await client.call("camCombinePDF", { filePath: pdf, JpegQuality: 0 }), "0");
    assert.ok(fs.statSync(pdf).size > 0);
  });

  test("a page that missed the failed add learns it from the next answer", async () => {
    assert.equal(await client.call("camAddFileToPDFList", { filePath: path.join(server.work, "missing.jpg") }), "-99");
    client.close();
    // A fresh client knows nothing of that add: the answer to the call behind the combine tells.
    const fresh = new LenvaroClient({ WebSocket, url: server.url });
    try {
      await fresh.connect();
      const [combined, count] = await Promise.all([
        fresh.call("camCombinePDF", { filePath: path.join(server.work, "x.pdf") }),
        fresh.call("camGetDevCount"),
      ]);
      assert.deepEqual([combined, count], [null, "2"]);
    } finally {
      fresh.close();
    }
    client = new LenvaroClient({ WebSocket, url: server.url });
    await client.connect();
  });

  test("unknown names time out, or end when a later call is answered", async () => {
    await assert.rejects(client.call("noSuchCommand", {}, { timeoutMs: 300 }), { code: "TIMEOUT" });
    const unknown = client.call("camgetdevcount");
    assert.equal(await client.call("camGetDevCount"), "2");
    await assert.rejects(unknown, { code: "NO_REPLY" });
  });
});

describe("connection handling", () => {
  test("reports an absent service, backs off, and connects once it appears", async () => {
    const port = await freePort();
    const client = new LenvaroClient({ WebSocket, url: `ws://127.0.0.1:${port}/`, reconnectDelayMs: 100, maxReconnectDelayMs: 400 });
    const delays = [];
    let unavailable = 0;
    client.on("unavailable", () => {
      unavailable += 1;
    });
    client.on("reconnecting", ({ delayMs }) => delays.push(delayMs));
    const connected = client.connect();
    await assert.rejects(client.call("camGetDevCount"), { code: "NOT_CONNECTED" });
    await waitFor(() => delays.length >= 4, 5000, "reconnect attempts");
    assert.ok(unavailable >= 3);
    assert.deepEqual(delays.slice(0, 4), [100, 200, 400, 400]);
    assert.equal(await fetchStatus(`ws://127.0.0.1:${port}/`, { timeoutMs: 500 }), null);

    const server = new ServerProcess({ port });
    try {
      await server.start();
      await connected;
      assert.equal(await client.call("camGetDevCount"), "2");

      // The service goes away: waiting calls fail, the client tries again.
      let closed = false;
      client.on("close", () => {
        closed = true;
      });
      const pending = client.call("camGetDevCount", {}, { timeoutMs: 60000 });
      const stopped = server.stop();
      await Promise.race([pending.catch(() => {}), stopped]);
      await stopped;
      await waitFor(() => closed, 5000, "the close event");
      assert.equal(client.connected, false);
    } finally {
      client.close();
      await server.stop();
    }
  });

  test("a browser that holds the attempt makes connect() reject as blocked at its limit", async () => {
    const client = new LenvaroClient({ WebSocket: HeldSocket, url: "ws://127.0.0.1:9/", page: askingPage, promptCheckMs: 20, connectTimeoutMs: 200 });
    try {
      await assert.rejects(client.connect(), { code: "BLOCKED", reason: "permission-prompt" });
    } finally {
      client.close();
    }
  });

  test("without reconnect a failed first attempt rejects connect()", async () => {
    const port = await freePort();
    const client = new LenvaroClient({ WebSocket, url: `ws://127.0.0.1:${port}/`, reconnect: false });
    await assert.rejects(client.connect(), { code: "UNAVAILABLE" });
  });
});

describe("a connection the browser refused is told from an absent service", () => {
  test("where a page lies, judged from its host name", () => {
    const expected = {
      loopback: ["localhost", "app.localhost", "127.0.0.1", "127.8.9.10", "[::1]", ""],
      local: ["10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.20", "169.254.0.7", "counter", "scan.local",
        "app.corp", "host.internal", "[fd12:3456::1]", "[fe80::1]"],
      public: ["counter.bank.example", "8.8.8.8", "172.32.0.1", "192.169.0.1", "[2001:db8::1]", "10.1.2.3.example.com"],
    };
    for (const [space, hosts] of Object.entries(expected)) {
      for (const host of hosts) assert.equal(addressSpaceOf(host), space, host);
    }
  });

  test("the verdict for each kind of page, as Chromium and Firefox report their permission", () => {
    const service = "ws://127.0.0.1:9000/";
    const cases = [
      // page, secure context, permission state, still waiting, expected reason
      ["http://counter.bank.example/", false, "denied", false, "insecure-page"],   // Chromium, plain-HTTP public page
      ["http://counter/", false, "denied", false, null],                         // intranet page: let through, so absent
      ["http://192.168.1.20/", false, "denied", false, null],
      ["https://counter.bank.example/", true, "denied", false, "permission-denied"],
      ["http://127.0.0.1:8080/", true, "denied", false, "permission-denied"],     // a loopback address the browser counts as public
      ["https://counter.bank.example/", true, "granted", false, null],
      ["https://counter.bank.example/", true, "prompt", false, null],            // no question was asked: nothing there
      ["https://counter.bank.example/", true, "prompt", true, "permission-prompt"],
      ["http://counter.bank.example/", false, "prompt", true, "permission-prompt"], // Firefox asks plain-HTTP pages too
      ["http://127.0.0.1:8080/", true, "prompt", true, null],
      ["https://counter.bank.example/", true, null, true, null],                 // a browser without the check
      ["file:///home/clerk/page.html", true, "prompt", true, null],
    ];
    for (const [pageUrl, secureContext, permission, waiting, reason] of cases) {
      const verdict = explainRefusal({ serviceUrl: service, pageUrl, secureContext, permission, waiting });
      assert.equal(verdict?.reason ?? null, reason, `${pageUrl} ${permission} ${waiting}`);
      if (reason) assert.match(verdict.message, reason === "permission-prompt" ? /Allow/ : /--browser-policy install/);
    }
    // A service on a public address is no local network access matter; an intranet page served
    // under a dotted name says where it lies.
    assert.equal(explainRefusal({ serviceUrl: "wss://scan.example/", pageUrl: "http://a.example/", permission: "denied" }), null);
    assert.equal(explainRefusal({ serviceUrl: service, pageUrl: "http://counter.bank.example/", secureContext: false,
      permission: "denied", pageAddressSpace: "local" }), null);
    // Outside a browser there is no page to judge.
    assert.equal(explainRefusal({ serviceUrl: service, permission: "denied" }), null);
  });

  test("the permission is asked under the name the browser knows", async () => {
    const permissionsKnowing = (names, state) => ({
      query: async ({ name }) => {
        if (!names.includes(name)) throw new TypeError(`unknown permission ${name}`);
        return { state };
      },
    });
    assert.equal(await localNetworkPermission("ws://127.0.0.1:9000/", permissionsKnowing(["local-network-access"], "denied")), "denied");
    assert.equal(await localNetworkPermission("ws://127.0.0.1:9000/", permissionsKnowing(["loopback-network"], "prompt")), "prompt");
    assert.equal(await localNetworkPermission("ws://192.168.1.5:9000/", permissionsKnowing(["loopback-network"], "prompt")), null);
    assert.equal(await localNetworkPermission("ws://127.0.0.1:9000/", permissionsKnowing([], "granted")), null);
    assert.equal(await localNetworkPermission("ws://127.0.0.1:9000/", undefined), null);
  });

  test("a client and fetchStatus on a refused page say blocked, on a local page unavailable", async () => {
    const port = await freePort();
    const url = `ws://127.0.0.1:${port}/`;
    const pageAt = (pageUrl, secureContext) => ({
      pageUrl, secureContext, permissions: { query: async () => ({ state: "denied" }) },
    });
    const publicPage = pageAt("http://counter.bank.example/", false);
    const intranetPage = pageAt("http://counter/", false);

    for (const [page, event] of [[publicPage, "blocked"], [intranetPage, "unavailable"]]) {
      const client = new LenvaroClient({ WebSocket, url, reconnect: false, page });
      const seen = [];
      client.on("blocked", (details) => seen.push(["blocked", details.reason]));
      client.on("unavailable", () => seen.push(["unavailable"]));
      await assert.rejects(client.connect(), { code: event === "blocked" ? "BLOCKED" : "UNAVAILABLE" });
      assert.deepEqual(seen, event === "blocked" ? [["blocked", "insecure-page"]] : [["unavailable"]]);
    }
    await assert.rejects(fetchStatus(url, { page: publicPage }), { code: "BLOCKED", reason: "insecure-page" });
    assert.equal(await fetchStatus(url, { page: intranetPage }), null);
  });

  test("an attempt the browser holds while it asks the user is told as a pending refusal", async () => {
    const client = new LenvaroClient({ WebSocket: HeldSocket, url: "ws://127.0.0.1:9/", page: askingPage, promptCheckMs: 20 });
    const blocked = new Promise((resolve) => client.on("blocked", resolve));
    client.connect().catch(() => {});
    assert.deepEqual((({ reason, waiting }) => ({ reason, waiting }))(await blocked), { reason: "permission-prompt", waiting: true });
    client.close();

    const heldFetch = (_, { signal }) => new Promise((_resolve, reject) => signal.addEventListener("abort", () => reject(new Error("aborted"))));
    await assert.rejects(fetchStatus("ws://127.0.0.1:9/", { page: askingPage, fetchImpl: heldFetch, timeoutMs: 50 }),
      { code: "BLOCKED", reason: "permission-prompt" });
  });
});
