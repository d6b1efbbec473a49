// Debian's Chromium under playwright-core for the web tests: one way to start it, and the reason
// a test skips when it cannot.
import fs from "node:fs";

export const CHROMIUM = process.env.LENVARO_CHROMIUM ?? "/usr/bin/chromium";

// Headless, and quiet on a machine without a network: no sandbox (root in a container has no
// user namespaces for it), no GPU, no QUIC, no first-run, background, component or sync traffic.
const BASE_ARGUMENTS = [
  "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
  "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
];

/**
 * Starts Chromium with a fresh profile; resolves {browser} or {skipReason} when Chromium is not
 * installed or cannot start. playwright-core itself must be there (scripts/setup installs it).
 */
export async function launchChromium(extraArguments = []) {
  let chromium;
  try {
    ({ chromium } = await import("playwright-core"));
  } catch (error) {
    throw new Error(`playwright-core is not installed (scripts/setup runs npm ci in tests/web): ${error.message}`);
  }
  if (!fs.existsSync(CHROMIUM)) return { skipReason: `${CHROMIUM} is not installed` };
  try {
    const browser = await chromium.launch({
      executablePath: CHROMIUM,
      headless: true,
      args: [...BASE_ARGUMENTS, ...extraArguments],
      timeout: 30000,
    });
    return { browser };
  } catch (error) {
    return { skipReason: `chromium cannot start: ${error.message.split("\n")[0]}` };
  }
}

/** Polls until predicate() holds; rejects with `what` after timeoutMs. */
export async function waitFor(predicate, timeoutMs, what) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    if (await predicate()) return;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}
