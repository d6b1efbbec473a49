// Starts the real lenvaro-server in a private copy of the installed layout: bin/ with the
// executable and the built-in libpictavo.so beside it, cfg/ from the build tree (simulated
// devices, templates) with a port of our choosing, and the demo page under share/. The paths
// come from CTest's environment.
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";

const executable = process.env.LENVARO_SERVER_EXECUTABLE;
const library = process.env.LENVARO_BUILTIN_LIBRARY;

export function buildTree() {
  if (!executable || !library) {
    throw new Error("LENVARO_SERVER_EXECUTABLE and LENVARO_BUILTIN_LIBRARY must name the built server and library");
  }
  return path.resolve(path.dirname(executable), "..");
}

// Every server started and not yet stopped. A test run that is killed midway (Ctrl+C, kill,
// a time-out) skips the after-hooks that stop them, so the process's own exit stops them:
// on SIGINT, SIGTERM and SIGHUP, and at any exit. Where the runner itself is killed outright
// (SIGKILL), the servers were started to die with it (setpriv --pdeathsig).
const running = new Set();

function stopEveryServerNow() {
  for (const server of running) {
    try {
      server.process?.kill("SIGKILL");
    } catch {
      // already gone
    }
    fs.rmSync(server.root, { recursive: true, force: true });
  }
  running.clear();
}

process.on("exit", stopEveryServerNow);
for (const signal of ["SIGINT", "SIGTERM", "SIGHUP"]) {
  process.once(signal, () => {
    stopEveryServerNow();
    process.exit(128 + os.constants.signals[signal]);
  });
}

// setpriv from util-linux, when the machine has it: its --pdeathsig makes the server receive
// SIGKILL when the process that started it ends, however it ends.
const setpriv = ["/usr/bin/setpriv", "/bin/setpriv"].find((candidate) => fs.existsSync(candidate));

/** A port nothing listens on right now. */
export function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once("error", reject);
    probe.listen(0, "127.0.0.1", () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

export class ServerProcess {
  /**
   * @param {object} [options]
   *   port            the port to listen on (0: one the system picks)
   *   simulator       (text) => text, edits the build tree's cfg/simulator.json
   *   allowedOrigins  the allowedOrigin entries of cfg/exeCfg.xml (none: every origin)
   */
  constructor({ port = 0, simulator = (text) => text, allowedOrigins = [] } = {}) {
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), "lenvaro-web-test-"));
    const tree = buildTree();
    const bin = path.join(this.root, "bin");
    fs.mkdirSync(bin);
    fs.copyFileSync(executable, path.join(bin, "lenvaro-server"));
    fs.chmodSync(path.join(bin, "lenvaro-server"), 0o700);
    fs.copyFileSync(library, path.join(bin, "libpictavo.so"));
    fs.cpSync(path.join(tree, "cfg"), path.join(this.root, "cfg"), { recursive: true });
    const origins = allowedOrigins.map((origin) => `<allowedOrigin>${origin}</allowedOrigin>`).join("");
    fs.writeFileSync(path.join(this.root, "cfg", "exeCfg.xml"), `<exeInfo><port>${port}</port>${origins}</exeInfo>`);
    const simulatorPath = path.join(this.root, "cfg", "simulator.json");
    fs.writeFileSync(simulatorPath, simulator(fs.readFileSync(simulatorPath, "utf8")));
    fs.cpSync(path.join(tree, "share"), path.join(this.root, "share"), { recursive: true });
    for (const dir of ["tmp", "run", "home", "work"]) fs.mkdirSync(path.join(this.root, dir), { mode: 0o700 });
    this.work = path.join(this.root, "work");
    this.process = null;
    this.port = 0;
    this.stderr = "";
  }

  /** The executable of this layout, for running it with other options. */
  get executable() {
    return path.join(this.root, "bin", "lenvaro-server");
  }

  /** The demo page's folder in this layout (with the client library in client/). */
  get demoFolder() {
    return path.join(this.root, "share", "lenvaro-server", "web", "demo");
  }

  get url() {
    return `ws://127.0.0.1:${this.port}/`;
  }

  get httpUrl() {
    return `http://127.0.0.1:${this.port}`;
  }

  /** Starts the service and resolves with its port once it listens. */
  start(timeoutMs = 15000) {
    // The test's environment (sanitizer settings included), with private folders: the
    // single-instance guard lives in XDG_RUNTIME_DIR, so parallel tests do not meet.
    const env = {
      ...process.env,
      TMPDIR: path.join(this.root, "tmp"),
      XDG_RUNTIME_DIR: path.join(this.root, "run"),
      HOME: path.join(this.root, "home"),
      XDG_CONFIG_HOME: path.join(this.root, "home", ".config"),
      // No real camera: V4L2 devices are looked for below a folder that does not exist.
      PICTAVO_V4L2_ROOT: path.join(this.root, "no-devices"),
      // Nor the computer's smart card readers: no pcscd answers at this socket.
      PCSCLITE_CSOCK_NAME: path.join(this.root, "no-pcscd", "pcscd.comm"),
    };
    delete env.LD_LIBRARY_PATH;
    delete env.INVOCATION_ID;
    // No desktop: with no bus address and a private runtime directory the service finds no
    // session bus, so its tray icon never reaches the desktop of whoever runs the tests.
    delete env.DBUS_SESSION_BUS_ADDRESS;
    const server = [path.join(this.root, "bin", "lenvaro-server"), "--no-relaunch"];
    const command = setpriv ? [setpriv, "--pdeathsig", "SIGKILL", ...server] : server;
    const child = spawn(command[0], command.slice(1), {
      env,
      // Relative paths a page sends land in the private layout, wherever the tests were started.
      cwd: this.work,
      stdio: ["ignore", "pipe", "pipe"],
    });
    this.process = child;
    running.add(this);
    child.stderr.on("data", (chunk) => {
      this.stderr += chunk;
    });
    return new Promise((resolve, reject) => {
      let output = "";
      const timer = setTimeout(() => reject(new Error(`the server did not start: ${output}${this.stderr}`)), timeoutMs);
      child.stdout.on("data", (chunk) => {
        output += chunk;
        const match = /listening on [\d.]+:(\d+)/.exec(output);
        if (match && this.port === 0) {
          clearTimeout(timer);
          this.port = Number(match[1]);
          resolve(this.port);
        }
      });
      child.once("exit", (code) => {
        clearTimeout(timer);
        if (this.port === 0) reject(new Error(`the server ended with ${code}: ${output}${this.stderr}`));
      });
    });
  }

  /** SIGTERM, wait for the exit, remove the private layout. */
  async stop() {
    const child = this.process;
    if (child && child.exitCode === null && child.signalCode === null) {
      const exited = new Promise((resolve) => child.once("exit", resolve));
      child.kill("SIGTERM");
      const killer = setTimeout(() => child.kill("SIGKILL"), 10000);
      await exited;
      clearTimeout(killer);
    }
    this.process = null;
    running.delete(this);
    fs.rmSync(this.root, { recursive: true, force: true });
  }
}
