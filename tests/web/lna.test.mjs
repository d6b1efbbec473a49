// Local Network Access in headless Chromium: pages that the browser counts as public reach the
// real service only when allowed, and the client and the demo page say so when they do not.
import assert from "node:assert/strict";
import { after, before, test } from "node:test";

import { launchChromium } from "./chromium.mjs";
import { PublicPages } from "./public_pages.mjs";

let pages = null;
let browser = null;
let skipReason = "";

before(async () => {
  pages = await new PublicPages().start();
  ({ browser, skipReason = "" } = await launchChromium(pages.browserArguments));
});

after(async () => {
  await browser?.close();
  await pages?.stop();
});

async function expectRemedyShown(page) {
  await page.waitForSelector('#connectionState[data-state="blocked"]', { timeout: 15000 });
  assert.equal(await page.getAttribute("#serviceStatus", "data-state"), "blocked");
  assert.equal(await page.isVisible("#notice"), true);
  assert.match(await page.textContent("#notice"), /--browser-policy install/);
}

test("a public page is refused by the browser: the client says blocked, never unavailable, and the demo shows the remedy", { timeout: 90000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  const cases = [
    // On 127.0.0.1 the page is a secure context: Chromium asks, and headless the question is
    // answered no.
    { origin: pages.origins.publicAddress, reason: "permission-denied" },
    // Plain HTTP from a public name: Chromium refuses without asking.
    { origin: pages.origins.publicName, reason: "insecure-page" },
  ];
  for (const { origin, reason } of cases) {
    const context = await browser.newContext({ locale: "en-US" });
    const page = await context.newPage();
    await page.goto(pages.demoAt(origin));
    await expectRemedyShown(page);
    const verdicts = await pages.clientVerdicts(page);
    assert.deepEqual(verdicts.service, { events: [`blocked:${reason}`], outcome: "BLOCKED", status: `BLOCKED:${reason}` }, origin);
    // Where no service runs the browser refuses all the same (it decides before it connects), so
    // the page cannot tell the two apart, and the remedy is the same.
    assert.deepEqual(verdicts.absent.events, [`blocked:${reason}`], origin);
    await context.close();
  }
});

test("a page on this computer reaches the service, and hears unavailable where none runs", { timeout: 60000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  const context = await browser.newContext({ locale: "en-US" });
  const page = await context.newPage();
  await page.goto(`${pages.service.httpUrl}/demo/`);
  await page.waitForSelector('#connectionState[data-state="open"]', { timeout: 15000 });
  assert.equal(await page.isVisible("#notice"), false);
  const verdicts = await pages.clientVerdicts(page);
  assert.deepEqual(verdicts.service.events, ["open"]);
  assert.equal(verdicts.service.outcome, "open:2");
  assert.deepEqual(verdicts.absent, { events: ["unavailable"], outcome: "UNAVAILABLE", status: "null" });
  await context.close();
});

test("an HTTPS page reaches the service once local network access is granted, and is told why without", { timeout: 60000 }, async (t) => {
  if (skipReason) return t.skip(skipReason);
  const origin = pages.origins.publicHttps;
  const context = await browser.newContext({ locale: "en-US", ignoreHTTPSErrors: true });
  await context.grantPermissions(["local-network-access"], { origin });
  const page = await context.newPage();
  await page.goto(pages.demoAt(origin));
  await page.waitForSelector('#connectionState[data-state="open"]', { timeout: 15000 });
  await page.waitForSelector('#serviceStatus[data-state="found"]', { timeout: 15000 });
  assert.equal((await pages.clientVerdicts(page)).service.outcome, "open:2");
  await context.close();

  const refused = await browser.newContext({ locale: "en-US", ignoreHTTPSErrors: true });
  const again = await refused.newPage();
  await again.goto(pages.demoAt(origin));
  await expectRemedyShown(again);
  assert.equal((await pages.clientVerdicts(again)).service.outcome, "BLOCKED");
  await refused.close();
});
