// The managed policy that `lenvaro-server --browser-policy install` writes lets the public pages
// of the service's allowedOrigin list through Chromium's Local Network Access check.
//
// Runs as root only: it writes under /etc. It writes nothing but the service's own file name in
// the managed-policy folders and always removes it again, also from an exit hook; a file left by a
// run that was killed outright is recognised by the copy kept in the temporary folder and removed
// by the next run. A policy file of that name that this test did not write is left alone (skip).
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, test } from "node:test";

import { CHROMIUM, launchChromium } from "./chromium.mjs";
import { PublicPages } from "./public_pages.mjs";

const POLICY_FOLDERS = ["/etc/chromium/policies/managed", "/etc/opt/chrome/policies/managed", "/etc/opt/edge/policies/managed"];
const POLICY_FILES = POLICY_FOLDERS.map((folder) => path.join(folder, "lenvaro-server.json"));
// What this test wrote, kept outside the policy folders: a policy file equal to it is ours.
const RECORD = path.join(os.tmpdir(), "lenvaro-browser-policy-test.json");

// Removes what this test wrote and nothing else: policy files equal to the record, and the
// folders it made that are empty again.
function removeOurPolicy(madeFolders = []) {
  let recorded;
  try {
    recorded = fs.readFileSync(RECORD, "utf8");
  } catch (_) {
    return;
  }
  for (const file of POLICY_FILES) {
    try {
      if (fs.readFileSync(file, "utf8") === recorded) fs.rmSync(file);
    } catch (_) {
      // not there
    }
  }
  for (const folder of [...madeFolders].reverse()) {
    try {
      fs.rmdirSync(folder);
    } catch (_) {
      // not empty, or gone
    }
  }
  fs.rmSync(RECORD, { force: true });
}

// The folders on the way to the policy folders that do not exist yet, outermost first.
function missingFolders() {
  const missing = [];
  for (const folder of POLICY_FOLDERS) {
    const parts = folder.split("/").filter(Boolean);
    for (let depth = 1; depth <= parts.length; depth += 1) {
      const partial = "/" + parts.slice(0, depth).join("/");
      if (!fs.existsSync(partial) && !missing.includes(partial)) missing.push(partial);
    }
  }
  return missing;
}

let pages = null;
after(() => pages?.stop());

test("with the policy installed by the service's command the public pages are answered", { timeout: 120000 }, async (t) => {
  if (process.getuid?.() !== 0) return t.skip("needs root: installs the browsers' managed policy under /etc");
  if (!fs.existsSync(CHROMIUM)) return t.skip(`${CHROMIUM} is not installed`);
  removeOurPolicy();  // left by a run that was killed
  const foreign = POLICY_FILES.find((file) => fs.existsSync(file));
  if (foreign) return t.skip(`${foreign} is installed on this machine; the test leaves it alone`);

  pages = await new PublicPages().start();
  const madeFolders = missingFolders();
  const cleanUp = () => removeOurPolicy(madeFolders);
  const onSignal = (signal) => {
    cleanUp();
    process.kill(process.pid, signal);
  };
  process.once("exit", cleanUp);
  process.once("SIGINT", onSignal);
  process.once("SIGTERM", onSignal);
  let browser = null;
  try {
    const install = execFileSync(pages.service.executable, ["--browser-policy", "install"], { encoding: "utf8" });
    fs.writeFileSync(RECORD, fs.readFileSync(POLICY_FILES[0], "utf8"));
    for (const file of POLICY_FILES) assert.ok(install.includes(`Wrote ${file}`), install);
    for (const origin of Object.values(pages.origins)) assert.ok(install.includes(origin), install);

    // Chromium reads the policy when it starts.
    const launched = await launchChromium(pages.browserArguments);
    if (launched.skipReason) return t.skip(launched.skipReason);
    browser = launched.browser;
    for (const origin of [pages.origins.publicAddress, pages.origins.publicName]) {
      const context = await browser.newContext({ locale: "en-US" });
      const page = await context.newPage();
      await page.goto(pages.demoAt(origin));
      await page.waitForSelector('#connectionState[data-state="open"]', { timeout: 15000 });
      assert.equal((await pages.clientVerdicts(page)).service.outcome, "open:2", origin);
      await context.close();
    }

    const removal = execFileSync(pages.service.executable, ["--browser-policy", "remove"], { encoding: "utf8" });
    for (const file of POLICY_FILES) {
      assert.ok(removal.includes(`Removed ${file}`), removal);
      assert.equal(fs.existsSync(file), false, file);
    }
  } finally {
    await browser?.close();
    cleanUp();
    process.off("exit", cleanUp);
    process.off("SIGINT", onSignal);
    process.off("SIGTERM", onSignal);
  }
  for (const folder of madeFolders) assert.equal(fs.existsSync(folder), false, `${folder} is removed again`);
});
