// The real service with its demo page served from loopback ports that Chromium is told to treat
// as public (--ip-address-space-overrides): under the name public.lenvaro.test (mapped to
// 127.0.0.1, so the page is plain HTTP from a public name, as on the Internet), as 127.0.0.1
// (which browsers count as a secure context) and over HTTPS. The HTTPS certificate is made here
// with openssl; only a browser context that asks for it (ignoreHTTPSErrors) accepts it, so
// nothing is added to any trust store. The service's allowedOrigin list names every page.
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import https from "node:https";
import os from "node:os";
import path from "node:path";

import { ServerProcess, freePort } from "./server.mjs";

export const PUBLIC_NAME = "public.lenvaro.test";

const CONTENT_TYPES = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".ico": "image/x-icon" };

function makeCertificate(folder) {
  const key = path.join(folder, "key.pem");
  const certificate = path.join(folder, "certificate.pem");
  execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate,
    "-days", "1", "-subj", `/CN=${PUBLIC_NAME}`, "-addext", `subjectAltName=DNS:${PUBLIC_NAME}`], { stdio: "ignore" });
  return { key: fs.readFileSync(key), cert: fs.readFileSync(certificate) };
}

export class PublicPages {
  async start() {
    this.scratch = fs.mkdtempSync(path.join(os.tmpdir(), "lenvaro-public-pages-"));
    this.servers = [];
    const servicePort = await freePort();
    // The page servers come first: the service's origin list names them.
    const plainPort = await this._listen(http.createServer(this._serveDemo()));
    const securePort = await this._listen(https.createServer(makeCertificate(this.scratch), this._serveDemo()));
    this.origins = {
      publicName: `http://${PUBLIC_NAME}:${plainPort}`,
      publicAddress: `http://127.0.0.1:${plainPort}`,
      publicHttps: `https://${PUBLIC_NAME}:${securePort}`,
      own: `http://127.0.0.1:${servicePort}`,
    };
    this.service = new ServerProcess({ port: servicePort, allowedOrigins: Object.values(this.origins) });
    await this.service.start();
    this.browserArguments = [
      `--ip-address-space-overrides=127.0.0.1:${plainPort}=public,127.0.0.1:${securePort}=public`,
      `--host-resolver-rules=MAP ${PUBLIC_NAME} 127.0.0.1`,
    ];
    return this;
  }

  async stop() {
    await this.service?.stop();
    for (const server of this.servers) server.close();
    if (this.scratch) fs.rmSync(this.scratch, { recursive: true, force: true });
  }

  /** The demo page at origin, talking to the service. */
  demoAt(origin) {
    return `${origin}/?service=${encodeURIComponent(this.service.url)}`;
  }

  /**
   * What the client library tells a page that tries the service, and one that tries a port where
   * nothing listens: {service, absent}, each {events, outcome, status}.
   */
  async clientVerdicts(page) {
    const closedPort = await freePort();
    return page.evaluate(async ({ serviceUrl, absentUrl }) => {
      const { LenvaroClient, fetchStatus } = await import("./client/lenvaro-client.js");
      const attempt = async (url) => {
        const client = new LenvaroClient({ url, reconnect: false });
        const events = [];
        client.on("blocked", ({ reason }) => events.push(`blocked:${reason}`));
        client.on("unavailable", () => events.push("unavailable"));
        client.on("open", () => events.push("open"));
        let outcome;
        try {
          await client.connect();
          outcome = `open:${await client.call("camGetDevCount")}`;
        } catch (error) {
          outcome = error.code;
        }
        client.close();
        let status;
        try {
          status = JSON.stringify(await fetchStatus(url));
        } catch (error) {
          status = `${error.code}:${error.reason}`;
        }
        return { events, outcome, status };
      };
      return { service: await attempt(serviceUrl), absent: await attempt(absentUrl) };
    }, { serviceUrl: this.service.url, absentUrl: `ws://127.0.0.1:${closedPort}/` });
  }

  // The demo page of the service's layout, the client library in its client/ folder.
  _serveDemo() {
    return (request, response) => {
      const folder = this.service.demoFolder;
      const name = decodeURIComponent(new URL(request.url, "http://x").pathname).replace(/^\/+/, "") || "index.html";
      const file = path.join(folder, name);
      if (!file.startsWith(folder + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
        response.writeHead(404).end();
        return;
      }
      response.writeHead(200, { "Content-Type": CONTENT_TYPES[path.extname(file)] ?? "application/octet-stream" });
      response.end(fs.readFileSync(file));
    };
  }

  async _listen(server) {
    this.servers.push(server);
    await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
    return server.address().port;
  }
}
