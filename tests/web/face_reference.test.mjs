// The built-in library's face model held to its reference: the face-recognition package itself
// (models/package.json), run in headless Chromium on TensorFlow.js's WebAssembly backend, finds
// the faces of its own sample pictures and computes their descriptors; the library's networks,
// converted by scripts/setup and run by OpenCV (tests/face/face_descriptors), must find the same
// faces and agree on every descriptor.
import assert from "node:assert/strict";
import { execFile } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { promisify } from "node:util";
import { after, before, test } from "node:test";

import { launchChromium } from "./chromium.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const PACKAGE = path.resolve(here, "../../models/node_modules/@vladmandic/face-api");
const WASM = path.resolve(here, "node_modules/@tensorflow/tfjs-backend-wasm/dist");
const DESCRIPTORS = process.env.LENVARO_FACE_DESCRIPTORS;
const MODEL = process.env.LENVARO_FACE_MODEL;
const SAMPLES = [1, 2, 3, 4, 5, 6].map((n) => path.join(PACKAGE, "demo", `sample${n}.jpg`));
// As the library's detector works: 416 x 416, confidence above 0.5 (pictavo/biometrics/face_model.h).
const DETECTOR = { inputSize: 416, scoreThreshold: 0.5 };
// Descriptors of one face may differ this much; different people lie 0.5 and more apart.
const AGREEMENT = 0.05;

let browser = null;
let skipReason = "";

before(async () => {
  ({ browser, skipReason = "" } = await launchChromium(["--force-color-profile=srgb"]));
});

after(async () => {
  await browser?.close();
});

const ORIGIN = "http://face-reference.invalid";
const CONTENT_TYPES = { ".js": "text/javascript", ".json": "application/json", ".jpg": "image/jpeg", ".wasm": "application/wasm" };

// The package's faces of each sample: detection box, landmarks and descriptor.
async function referenceFaces() {
  const page = await browser.newPage();
  // Everything comes from the installed packages through this made-up origin; nothing leaves the
  // machine.
  await page.route(`${ORIGIN}/**`, async (route) => {
    const { pathname } = new URL(route.request().url());
    if (pathname === "/") return route.fulfill({ contentType: "text/html", body: "<!doctype html><title>reference</title>" });
    const [, root, ...rest] = pathname.split("/");
    const folder = { package: PACKAGE, wasm: WASM }[root];
    const file = folder && path.join(folder, ...rest);
    if (!file || !file.startsWith(folder) || !fs.existsSync(file)) return route.fulfill({ status: 404, body: "" });
    return route.fulfill({ contentType: CONTENT_TYPES[path.extname(file)] ?? "application/octet-stream", body: fs.readFileSync(file) });
  });
  await page.goto(`${ORIGIN}/`);
  const pictures = SAMPLES.map((file) => `/package/demo/${path.basename(file)}`);
  const found = await page.evaluate(async ({ pictures, detector }) => {
    const faceapi = await import("/package/dist/face-api.esm.js");
    faceapi.tf.setWasmPaths("/wasm/");
    await faceapi.tf.setBackend("wasm");
    await faceapi.tf.ready();
    await faceapi.nets.tinyFaceDetector.loadFromUri("/package/model");
    await faceapi.nets.faceLandmark68Net.loadFromUri("/package/model");
    await faceapi.nets.faceRecognitionNet.loadFromUri("/package/model");
    const results = [];
    for (const src of pictures) {
      const image = new Image();
      image.src = src;
      await image.decode();
      // A tensor of the decoded pixels, as the package's Node.js examples feed it.
      const tensor = faceapi.tf.browser.fromPixels(image);
      const faces = await faceapi.detectAllFaces(tensor, new faceapi.TinyFaceDetectorOptions(detector))
        .withFaceLandmarks().withFaceDescriptors();
      tensor.dispose();
      results.push(faces.map((face) => ({
        box: [face.detection.box.x, face.detection.box.y, face.detection.box.width, face.detection.box.height],
        descriptor: Array.from(face.descriptor),
      })));
    }
    return { backend: faceapi.tf.getBackend(), results };
  }, { pictures, detector: DETECTOR });
  await page.close();
  assert.equal(found.backend, "wasm");
  return found.results;
}

async function libraryFaces() {
  const { stdout } = await promisify(execFile)(DESCRIPTORS, [MODEL, ...SAMPLES], { maxBuffer: 64 << 20 });
  return JSON.parse(stdout).map((picture) => picture.faces);
}

const distance = (a, b) => Math.hypot(...a.map((value, i) => value - b[i]));
const overlap = ([ax, ay, aw, ah], [bx, by, bw, bh]) => {
  const w = Math.max(0, Math.min(ax + aw, bx + bw) - Math.max(ax, bx));
  const h = Math.max(0, Math.min(ay + ah, by + bh) - Math.max(ay, by));
  return (w * h) / (aw * ah + bw * bh - w * h);
};

test("the library finds the package's faces in its sample pictures and agrees on every descriptor", { timeout: 240000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  assert.ok(DESCRIPTORS && MODEL, "LENVARO_FACE_DESCRIPTORS and LENVARO_FACE_MODEL are set by CTest");
  assert.ok(fs.existsSync(PACKAGE), `${PACKAGE} is missing: scripts/setup installs it`);
  const [reference, ours] = await Promise.all([referenceFaces(), libraryFaces()]);
  const worst = { distance: 0, where: "" };
  const all = [];
  reference.forEach((faces, picture) => {
    const name = path.basename(SAMPLES[picture]);
    assert.equal(ours[picture].length, faces.length, `${name}: faces found`);
    for (const face of faces) {
      const match = ours[picture].reduce((best, candidate) =>
        overlap(candidate.box, face.box) > overlap(best.box, face.box) ? candidate : best);
      assert.ok(overlap(match.box, face.box) > 0.95, `${name}: a face at ${face.box.map(Math.round)}`);
      const apart = distance(match.descriptor, face.descriptor);
      if (apart >= worst.distance) Object.assign(worst, { distance: apart, where: `${name} at ${face.box.map(Math.round)}` });
      all.push(face.descriptor);
    }
  });
  let closestPeople = Infinity;
  all.forEach((a, i) => all.slice(i + 1).forEach((b) => { closestPeople = Math.min(closestPeople, distance(a, b)); }));
  t.diagnostic(`${all.length} faces; largest descriptor distance to the package's ${worst.distance.toExponential(2)} (${worst.where}); closest two faces of the samples ${closestPeople.toFixed(3)}`);
  assert.ok(all.length >= 20, `faces in the samples: ${all.length}`);
  assert.ok(worst.distance <= AGREEMENT, `descriptor ${worst.distance} apart at ${worst.where}`);
});
