// The web tests' own harness: a test process that ends midway, however it ends, leaves no
// service running behind it.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import { test } from "node:test";

const serverModule = new URL("./server.mjs", import.meta.url).href;

// A test process that starts one server, says where it is, and waits to be ended.
function startTestProcess() {
  const script = `
    import { ServerProcess } from ${JSON.stringify(serverModule)};
    const server = new ServerProcess();
    await server.start();
    console.log(JSON.stringify({ pid: server.process.pid, port: server.port, root: server.root }));
    setInterval(() => {}, 1000);`;
  const child = spawn(process.execPath, ["--input-type=module", "-e", script], {
    stdio: ["ignore", "pipe", "inherit"],
  });
  const started = new Promise((resolve, reject) => {
    let output = "";
    child.stdout.on("data", (chunk) => {
      output += chunk;
      if (output.includes("\n")) resolve(JSON.parse(output));
    });
    child.once("exit", (code) => reject(new Error(`the test process ended first (${code})`)));
  });
  return { child, started };
}

// Running, and not a zombie waiting to be reaped.
function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, "utf8");
    return stat.slice(stat.lastIndexOf(")") + 2)[0] !== "Z";
  } catch {
    return false;
  }
}

// Processes started from `root` (the server, and any child it forked), by their command line.
function processesStartedFrom(root) {
  const found = [];
  for (const entry of fs.readdirSync("/proc")) {
    if (!/^\d+$/.test(entry) || !alive(Number(entry))) continue;
    try {
      if (fs.readFileSync(`/proc/${entry}/cmdline`, "utf8").includes(root)) found.push(Number(entry));
    } catch {
      // ended meanwhile, or not ours to read
    }
  }
  return found;
}

function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, "127.0.0.1");
    socket.once("connect", () => {
      socket.destroy();
      resolve(true);
    });
    socket.once("error", () => resolve(false));
  });
}

async function waitUntil(predicate, timeoutMs) {
  const deadline = Date.now() + timeoutMs;
  while (!(await predicate())) {
    if (Date.now() > deadline) return false;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return true;
}

for (const signal of ["SIGINT", "SIGTERM", "SIGHUP", "SIGKILL"]) {
  test(`a test process ended by ${signal} stops the server it started`, async () => {
    const { child, started } = startTestProcess();
    const server = await started;
    try {
      assert.ok(alive(server.pid), "the server runs");
      assert.ok(await accepts(server.port), "and listens");
      const exited = new Promise((resolve) => child.once("exit", resolve));
      child.kill(signal);
      await exited;
      // Checked by process, not by port: another test's server may be given the freed port.
      assert.ok(await waitUntil(() => processesStartedFrom(server.root).length === 0, 10000),
        `still running: ${processesStartedFrom(server.root)}`);
      if (signal !== "SIGKILL") assert.ok(!fs.existsSync(server.root), "its private folder is gone");
    } finally {
      if (alive(server.pid)) process.kill(server.pid, "SIGKILL");
      fs.rmSync(server.root, { recursive: true, force: true });
    }
  });
}
