// Client library for the Lenvaro Server WebSocket protocol: one JSON command in, one reply out,
// preview frames and auto-capture events pushed in between.
//
// Replies carry no tag, so a reply is matched to the oldest waiting call of the same name; the
// service handles one request at a time and answers in order. A few commands are known to
// behave otherwise and are handled here:
//   - never answered: "PreZoneSize", "camGetMicrophoneVolumeLevel" (resolve once sent);
//   - answered later, by a background worker: "camStartAsyMatchFaceBase64Video";
//   - possibly unanswered: "camCombinePDF" after a failed "camAddFileToPDFList" (resolves null).
// Reply texts are not always valid JSON (results are not escaped), so they are taken apart by
// their fixed layout rather than by JSON.parse.

export const DEFAULT_URL = "ws://127.0.0.1:9000/";

const NEVER_ANSWERED = new Set(["PreZoneSize", "camGetMicrophoneVolumeLevel"]);
const ANSWERED_BY_WORKER = "camStartAsyMatchFaceBase64Video";
const MAY_GO_UNANSWERED = new Set(["camCombinePDF"]);
const AUTO_CAPTURE_EVENT = "AutoCaptureBack";

// Marker replies: "$*$" + name + "$*$" + result for these names; "$*$" + Base64 alone is a
// preview frame (Base64 never holds "$").
const NAMED_BINARY_COMMANDS = ["FileEncodeBase64", "GetFingerprint", "idcardrfidGetOneFingerprintMsg"];
const LISTING_COMMANDS = ["getFolderDayFileA"];
const RECOGNIZED_TEXT_COMMANDS = ["ocrCombineToString", "ocrCombineSingleToString"];

const DEFAULT_TIMEOUT_MS = 30000;
// How long connect() waits for the connection before it rejects (reconnection goes on).
const DEFAULT_CONNECT_TIMEOUT_MS = 5000;
// Commands that legitimately take longer than the default.
const SLOW_COMMAND_TIMEOUT_MS = {
  camUpdataFileHttp: 150000,
  camUpdataFileFtp: 150000,
  ocrCombineToFile: 180000,
  ocrCombineSingleToFile: 120000,
  ocrCombineToString: 180000,
  ocrCombineSingleToString: 120000,
  ocrRecognizeBarcode: 60000,
  ocrRecognizeBarcodeRect: 60000,
  coderRecognizeBarcode: 60000,
  "OtrRecog ": 120000,
  camCombinePDF: 60000,
};
// Commands that wait for up to argument.ldelayTime milliseconds before answering.
const DELAYED_BY_ARGUMENT = new Set(["camMatchFaceByFileVideo", "camMatchFaceByBase64Video", ANSWERED_BY_WORKER]);
const DELAY_MARGIN_MS = 15000;

const ENVELOPE_START = '{"FuncName":"';
const RESULT_KEY = '","result":';

export class LenvaroError extends Error {
  constructor(message, code, command) {
    super(message);
    this.name = "LenvaroError";
    this.code = code;
    this.command = command;
  }
}

/**
 * Takes one message of the service apart. Returns
 *   {kind: "frame", data}                              a preview frame (Base64 JPEG)
 *   {kind: "reply", name, names, result, form, text}   a reply or a push
 *   {kind: "unknown", text}                            anything else
 * For "$-$" replies the name is not in the text: `names` lists the commands it may answer and
 * `name` is null. `form` is "quoted", "raw" or "marker".
 */
export function parseMessage(text) {
  if (typeof text !== "string") return { kind: "unknown", text };
  if (text.startsWith("$*$")) {
    const rest = text.slice(3);
    for (const name of NAMED_BINARY_COMMANDS) {
      if (rest.startsWith(name + "$*$")) {
        return reply(name, [name], rest.slice(name.length + 3), "marker", text);
      }
    }
    return { kind: "frame", data: rest };
  }
  if (text.startsWith("$$$")) return reply(LISTING_COMMANDS[0], LISTING_COMMANDS, text.slice(3), "marker", text);
  if (text.startsWith("$-$")) return reply(null, RECOGNIZED_TEXT_COMMANDS, text.slice(3), "marker", text);

  if (text.startsWith(ENVELOPE_START)) {
    const nameEnd = text.indexOf('"', ENVELOPE_START.length);
    if (nameEnd > 0 && text.startsWith(RESULT_KEY, nameEnd)) {
      const name = text.slice(ENVELOPE_START.length, nameEnd);
      const body = text.slice(nameEnd + RESULT_KEY.length);
      if (body.length >= 3 && body.startsWith('"') && body.endsWith('"}')) {
        // Quoted: everything between the quotes is the result, quotes inside included.
        return reply(name, [name], body.slice(1, -2), "quoted", text);
      }
      if (body.length >= 2 && body.endsWith("}")) {
        const rawText = body.slice(0, -1);
        return reply(name, [name], parseRawValue(rawText), "raw", text);
      }
    }
  }
  // Not the service's own layout; a well-formed JSON reply is still understood.
  try {
    const value = JSON.parse(text);
    if (value && typeof value === "object" && typeof value.FuncName === "string" && "result" in value) {
      const form = typeof value.result === "string" ? "quoted" : "raw";
      return reply(value.FuncName, [value.FuncName], value.result, form, text);
    }
  } catch (_) {
    // not JSON either
  }
  return { kind: "unknown", text };
}

function reply(name, names, result, form, text) {
  return { kind: "reply", name, names, result, form, text };
}

// A raw result is a JSON value (a list, an upload answer); one that does not parse is kept as
// the text it is.
function parseRawValue(rawText) {
  try {
    return JSON.parse(rawText);
  } catch (_) {
    return rawText;
  }
}

/** "a;b;" (a "$$$" folder listing) as ["a", "b"]. */
export function splitListing(text) {
  return String(text ?? "").split(";").filter((item) => item.length > 0);
}

/** The pieces of a "$*$"-joined result ("<image>$*$<feature>", "<template>$*$<status>"). */
export function splitMarkerFields(text) {
  return String(text ?? "").split("$*$");
}

/** A data: URL for Base64 picture data; line breaks inside the Base64 are dropped. */
export function toDataUrl(base64, mimeType = "image/jpeg") {
  return `data:${mimeType};base64,${String(base64 ?? "").replace(/[\r\n]/g, "")}`;
}

/**
 * The capture library's statuses, as most commands answer them: "0" done, a negative number why
 * not. Commands that answer counts, scores or texts use their own numbers.
 */
export const LIBRARY_STATUSES = Object.freeze({
  0: { name: "kOk", meaning: "done" },
  [-1]: { name: "kFailed", meaning: "the device or engine tried and failed (no card on the reader, no finger on the sensor, a busy camera, an engine not started)" },
  [-2]: { name: "kInvalidArgument", meaning: "an argument was refused: an empty path, or an index, size or type the device does not list" },
  [-3]: { name: "kNoDevice", meaning: "no device answers to that index, or none of its kind is attached" },
  [-4]: { name: "kNotSupported", meaning: "not supported by this library or device" },
  [-5]: { name: "kFileError", meaning: "a file could not be found, read or written (or a device could not be opened for lack of rights)" },
  [-6]: { name: "kInternalError", meaning: "an unexpected fault inside the capture library" },
});

// The unsigned form of -1 that some commands answer (camInitCameraLib, camGetCurResolution).
const UNSIGNED_MINUS_ONE = "18446744073709551615";

// Results that one command answers with a meaning of its own.
const COMMAND_STATUSES = {
  camAddFileToPDFList: { [-99]: "no file at that path" },
  camCombinePDF: { [-2]: "the list is empty (add pictures first), or no output path was given" },
  camGetCurResolution: { [`${UNSIGNED_MINUS_ONE}*${UNSIGNED_MINUS_ONE}`]: "no camera open" },
  camInitCameraLib: { [UNSIGNED_MINUS_ONE]: "the capture library could not be initialised" },
  CompareFingerFeature: { [-100]: "a fingerprint slot is empty: collect fingers 1 and 2 first" },
  camOpenDev: {
    [-1]: "the camera is busy (another program streams from it) or the USB bus has no bandwidth left for that size",
    [-2]: "the camera does not list that media type or size",
    [-5]: "the camera cannot be opened: the user running the service needs to be in the group 'video'",
  },
};

/**
 * What a failure a command answered means (English): a negative status, or a result particular
 * to the command (camGetCurResolution's "18446744073709551615*18446744073709551615": no camera
 * open). Null for anything else: a "0", a count, a score or a text.
 */
export function describeStatus(result, command) {
  if (typeof result !== "string") return null;
  const particular = COMMAND_STATUSES[command]?.[result];
  if (particular !== undefined) return particular;
  if (!/^-\d+$/.test(result)) return null;
  return LIBRARY_STATUSES[Number(result)]?.meaning ?? null;
}

/** The HTTP address of the service's status answer for its WebSocket address. */
export function statusUrlFor(url = DEFAULT_URL) {
  const address = new URL(url);
  address.protocol = address.protocol === "wss:" ? "https:" : "http:";
  address.pathname = "/status";
  address.search = "";
  address.hash = "";
  return address.toString();
}

// ---- Local Network Access ----------------------------------------------------------------------
// Chromium-based browsers (and Firefox, for fetch) stop a page on a public address from reaching
// 127.0.0.1 or the intranet unless the user or the administrator allowed it. A refused attempt
// looks exactly like an absent service to the page (a WebSocket closed with 1006, a failed
// fetch), so the client judges from what the page can know: whether it is a secure context, the
// address it was loaded from, and the browser's permission state for local network access.

// Host names that lie on an intranet by convention: names without a dot and these suffixes.
const LOCAL_NAME_SUFFIXES = [".local", ".lan", ".internal", ".intranet", ".corp", ".home.arpa", ".localdomain"];

function ipv4Parts(host) {
  const match = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(host);
  if (!match) return null;
  const parts = match.slice(1).map(Number);
  return parts.every((part) => part <= 255) ? parts : null;
}

/**
 * Where a host name lies as far as a page can tell: "loopback" (this computer), "local" (an
 * intranet address or name) or "public". A page loaded from a file has no host: "loopback".
 * A dotted name may still be on the intranet; the page cannot know that.
 */
export function addressSpaceOf(hostname) {
  const host = String(hostname ?? "").toLowerCase().replace(/\.$/, "");
  if (host === "" || host === "localhost" || host.endsWith(".localhost") || host === "[::1]" || host === "::1") return "loopback";
  const ipv4 = ipv4Parts(host);
  if (ipv4) {
    const [a, b] = ipv4;
    if (a === 127) return "loopback";
    if (a === 10 || (a === 172 && b >= 16 && b <= 31) || (a === 192 && b === 168) || (a === 169 && b === 254)) return "local";
    return "public";
  }
  if (host.startsWith("[")) {
    // Unique local (fc00::/7) and link-local (fe80::/10) IPv6 addresses.
    return /^\[(f[cd][0-9a-f]{0,2}|fe[89ab][0-9a-f]?):/.test(host) ? "local" : "public";
  }
  if (!host.includes(".") || LOCAL_NAME_SUFFIXES.some((suffix) => host.endsWith(suffix))) return "local";
  return "public";
}

const REFUSAL_MESSAGES = {
  "insecure-page":
    "The browser does not let this page reach the service on this computer: the page is served over " +
    "plain HTTP from an address the browser counts as public. Serve the page over HTTPS (the browser then " +
    "asks the user once), or have the administrator list the page's origin in allowedOrigin and run " +
    "'lenvaro-server --browser-policy install'.",
  "permission-denied":
    "The browser does not let this page reach devices on this computer or the local network: its local " +
    "network access permission for this site is 'denied'. Allow it in the site's settings (the icon left " +
    "of the address), or have the administrator run 'lenvaro-server --browser-policy install'.",
  "permission-prompt":
    "The browser is asking whether this page may reach devices on this computer or the local network: " +
    "answer 'Allow'.",
};

/**
 * Whether a failed attempt to reach the service was the browser's refusal, judged from the page's
 * circumstances. Returns null when the service is simply not there (or nothing stands in the way),
 * else {reason, message} with reason "insecure-page", "permission-denied" or "permission-prompt".
 *   serviceUrl        the address tried (ws:, wss:, http: or https:)
 *   pageUrl           the page's own address (location.href); none outside a browser
 *   secureContext     the page's isSecureContext
 *   permission        the local network access permission state, null where the browser has none
 *   waiting           the attempt is still pending, or ran out of time rather than failing
 *   pageAddressSpace  "loopback", "local" or "public" to state where the page is served from,
 *                     when its name does not tell (an intranet server with a dotted name)
 */
export function explainRefusal({ serviceUrl, pageUrl, secureContext, permission, waiting = false, pageAddressSpace } = {}) {
  if (!pageUrl || permission === null || permission === undefined || permission === "granted") return null;
  let page;
  let service;
  try {
    page = new URL(pageUrl);
    service = new URL(serviceUrl);
  } catch (_) {
    return null;
  }
  if (addressSpaceOf(service.hostname) === "public") return null;  // nothing to refuse
  const pageSpace = pageAddressSpace ?? (page.protocol === "file:" ? "loopback" : addressSpaceOf(page.hostname));
  let reason = null;
  if (permission === "prompt") {
    // Chromium and Firefox hold the request while their question is shown; a refusal that was
    // not an answer leaves the state as it was, as does a service that is not there.
    if (waiting && pageSpace === "public") reason = "permission-prompt";
  } else if (permission === "denied") {
    if (secureContext) {
      reason = "permission-denied";
    } else if (pageSpace === "public") {
      // Chromium answers "denied" for every plain-HTTP page, but lets intranet pages through.
      reason = "insecure-page";
    }
  }
  return reason ? { reason, message: REFUSAL_MESSAGES[reason] } : null;
}

/**
 * The browser's local network access permission state for reaching serviceUrl ("granted",
 * "denied", "prompt"), or null where the browser has no such permission. Chromium names it
 * "local-network-access"; Firefox has "loopback-network" and "local-network".
 */
export async function localNetworkPermission(serviceUrl = DEFAULT_URL, permissions = globalThis.navigator?.permissions) {
  if (!permissions || typeof permissions.query !== "function") return null;
  let loopback = true;
  try {
    loopback = addressSpaceOf(new URL(serviceUrl).hostname) === "loopback";
  } catch (_) {
    // an address that does not parse is the loopback default's business
  }
  for (const name of ["local-network-access", loopback ? "loopback-network" : "local-network"]) {
    try {
      return (await permissions.query({ name })).state;
    } catch (_) {
      // not a permission of this browser
    }
  }
  return null;
}

// The circumstances of the page this code runs in: globals of a browser, nothing elsewhere.
function currentPage() {
  return {
    pageUrl: globalThis.location?.href,
    secureContext: globalThis.isSecureContext === true,
    permissions: globalThis.navigator?.permissions,
  };
}

async function judgeRefusal(serviceUrl, { waiting = false, pageAddressSpace, page = currentPage() } = {}) {
  if (!page?.pageUrl) return null;
  const permission = await localNetworkPermission(serviceUrl, page.permissions);
  return explainRefusal({ serviceUrl, pageUrl: page.pageUrl, secureContext: page.secureContext, permission, waiting, pageAddressSpace });
}

function blockedError(refusal) {
  const error = new LenvaroError(refusal.message, "BLOCKED");
  error.reason = refusal.reason;
  return error;
}

/**
 * Asks the service for its name, version and state over plain HTTP, or null when nothing
 * answers: {name, version, cameras, previewWidth, recording, autoCapture, pdfList} (the state
 * only for pages the service lets in; see the README). When the browser, not the service,
 * stood in the way, rejects with a
 * LenvaroError of code "BLOCKED" whose `reason` and message say why and what to do. In current
 * Chromium this request is also what asks the user for local network access.
 *   options.page  the page's circumstances ({pageUrl, secureContext, permissions}); the current
 *                 page by default
 */
export async function fetchStatus(url = DEFAULT_URL, { timeoutMs = 3000, fetchImpl = globalThis.fetch, pageAddressSpace, page } = {}) {
  const controller = typeof AbortController === "function" ? new AbortController() : null;
  let timedOut = false;
  const timer = controller ? setTimeout(() => { timedOut = true; controller.abort(); }, timeoutMs) : null;
  try {
    const response = await fetchImpl(statusUrlFor(url), controller ? { signal: controller.signal } : {});
    if (!response.ok) return null;
    return await response.json();
  } catch (_) {
    const refusal = await judgeRefusal(url, { waiting: timedOut, pageAddressSpace, page });
    if (refusal) throw blockedError(refusal);
    return null;
  } finally {
    if (timer) clearTimeout(timer);
  }
}

const OPEN = 1;

export class LenvaroClient {
  /**
   * @param {object} [options]
   *   url               WebSocket address (ws://127.0.0.1:9000/)
   *   WebSocket         the WebSocket class (globalThis.WebSocket by default)
   *   timeoutMs         how long a call waits for its reply by default
   *   reconnect         reconnect after a lost or failed connection (true)
   *   reconnectDelayMs  first delay before reconnecting (500), doubled each time...
   *   maxReconnectDelayMs ...up to this (10000)
   *   pageAddressSpace  "loopback", "local" or "public": where this page is served from, when its
   *                     host name does not tell (see explainRefusal)
   *   page              the page's circumstances for judging a refusal ({pageUrl, secureContext,
   *                     permissions}); the current page by default
   *   promptCheckMs     how long an attempt may hang before the client looks for a browser
   *                     question holding it (1500)
   *   connectTimeoutMs  how long connect() waits for the connection (5000; Infinity: for ever)
   */
  constructor(options = {}) {
    this.url = options.url ?? DEFAULT_URL;
    this.WebSocketClass = options.WebSocket ?? globalThis.WebSocket;
    this.timeoutMs = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
    this.reconnect = options.reconnect ?? true;
    this.reconnectDelayMs = options.reconnectDelayMs ?? 500;
    this.maxReconnectDelayMs = options.maxReconnectDelayMs ?? 10000;
    this.pageAddressSpace = options.pageAddressSpace;
    this.page = options.page;
    this.promptCheckMs = options.promptCheckMs ?? 1500;
    this.connectTimeoutMs = options.connectTimeoutMs ?? DEFAULT_CONNECT_TIMEOUT_MS;
    if (typeof this.WebSocketClass !== "function") {
      throw new LenvaroError("no WebSocket implementation: pass options.WebSocket", "NO_WEBSOCKET");
    }
    this._listeners = new Map();
    this._socket = null;
    this._pending = [];         // calls waiting for their reply, in the order they were sent
    this._workerCalls = [];     // background face matches waiting for their push
    this._closedByUser = true;
    this._retryTimer = null;
    this._retryDelay = this.reconnectDelayMs;
    this._attempt = 0;
    this._openWaiters = [];
    this._lastPdfAddFailed = false;
    this._judging = false;      // a failed attempt is being judged: no new attempt meanwhile
    this._lastRefusal = null;   // the browser's refusal of the latest attempt, if it was one
  }

  /** True while the connection is open. */
  get connected() {
    return this._socket !== null && this._socket.readyState === OPEN;
  }

  /**
   * Subscribes to an event; returns the function that unsubscribes. Events: "open", "close"
   * ({code, reason}), "unavailable" (a connection attempt failed: the service is not there),
   * "blocked" ({url, reason, message, waiting}: the browser, not the service, refused or holds the
   * attempt; see explainRefusal), "reconnecting" ({attempt, delayMs}), "frame" (Base64 JPEG),
   * "autoCapture" (event text),
   * "reply" (every parsed reply), "unmatched" (a reply no call waited for), "message" (raw text).
   */
  on(event, listener) {
    if (!this._listeners.has(event)) this._listeners.set(event, new Set());
    this._listeners.get(event).add(listener);
    return () => this.off(event, listener);
  }

  off(event, listener) {
    this._listeners.get(event)?.delete(listener);
  }

  _emit(event, value) {
    for (const listener of [...(this._listeners.get(event) ?? [])]) {
      try {
        listener(value);
      } catch (error) {
        // A faulty listener must not stop the others nor the matching of replies.
        if (event !== "error") this._emit("error", error);
      }
    }
  }

  /**
   * Opens the connection (and keeps it open when reconnect is on). Resolves once open. Rejects
   * when it is not open within options.timeoutMs (connectTimeoutMs by default): with code
   * UNAVAILABLE, or BLOCKED when the browser refused; reconnection goes on meanwhile and "open"
   * tells when it succeeds. Without reconnect it also rejects as soon as the attempt fails.
   */
  connect({ timeoutMs = this.connectTimeoutMs } = {}) {
    this._closedByUser = false;
    if (this.connected) return Promise.resolve();
    const opened = new Promise((resolve, reject) => {
      const waiter = { resolve, reject, timer: null };
      if (Number.isFinite(timeoutMs) && timeoutMs >= 0) {
        waiter.timer = setTimeout(() => {
          const at = this._openWaiters.indexOf(waiter);
          if (at < 0) return;
          this._openWaiters.splice(at, 1);
          reject(this._lastRefusal ? blockedError(this._lastRefusal)
            : new LenvaroError(`the service did not answer within ${timeoutMs} ms`, "UNAVAILABLE"));
          // Without reconnect nobody would use a connection that opens later.
          if (!this.reconnect && this._openWaiters.length === 0) this.close();
        }, timeoutMs);
      }
      this._openWaiters.push(waiter);
    });
    if (this._socket === null && this._retryTimer === null && !this._judging) this._open();
    return opened;
  }

  _settleOpenWaiters(settle) {
    for (const waiter of this._openWaiters.splice(0)) {
      clearTimeout(waiter.timer);
      settle(waiter);
    }
  }

  /** Closes the connection for good; waiting calls are rejected. */
  close() {
    this._closedByUser = true;
    if (this._retryTimer !== null) {
      clearTimeout(this._retryTimer);
      this._retryTimer = null;
    }
    const socket = this._socket;
    this._socket = null;
    if (socket) {
      socket.onopen = socket.onmessage = socket.onerror = null;
      socket.onclose = null;
      try {
        socket.close();
      } catch (_) {
        // already closing
      }
    }
    this._failAll(new LenvaroError("connection closed", "CLOSED"));
    this._settleOpenWaiters((waiter) => waiter.reject(new LenvaroError("connection closed", "CLOSED")));
  }

  _judge(waiting) {
    return judgeRefusal(this.url, { waiting, pageAddressSpace: this.pageAddressSpace, page: this.page }).catch(() => null);
  }

  // A failed attempt: "blocked" when the browser stood in the way, else "unavailable"; then the
  // next attempt, or the rejection of connect().
  async _attemptFailed(details) {
    this._judging = true;
    const refusal = await this._judge(false);
    this._judging = false;
    if (this._closedByUser) return;
    this._lastRefusal = refusal;
    if (refusal) this._emit("blocked", { url: this.url, ...refusal, waiting: false });
    else this._emit("unavailable", { url: this.url, ...details });
    this._afterLoss(false, refusal);
  }

  _open() {
    let socket;
    let opened = false;
    try {
      socket = new this.WebSocketClass(this.url);
    } catch (error) {
      this._attemptFailed({ error });
      return;
    }
    this._socket = socket;
    // A browser that asks the user first holds the attempt until the question is answered.
    const promptCheck = setTimeout(async () => {
      if (this._socket !== socket || opened) return;
      const refusal = await this._judge(true);
      if (refusal && this._socket === socket && !opened) {
        this._lastRefusal = refusal;
        this._emit("blocked", { url: this.url, ...refusal, waiting: true });
      }
    }, this.promptCheckMs);
    socket.onopen = () => {
      clearTimeout(promptCheck);
      opened = true;
      this._attempt = 0;
      this._retryDelay = this.reconnectDelayMs;
      this._lastRefusal = null;
      this._emit("open", { url: this.url });
      this._settleOpenWaiters((waiter) => waiter.resolve());
    };
    socket.onmessage = (event) => {
      if (typeof event.data === "string") this._receive(event.data);
    };
    // Some implementations (Node's before version 22) report a refused connection with an
    // error event alone, never closing; a failure before the open counts as the loss then.
    socket.onerror = () => {
      if (opened) return;  // the close event follows and tells the rest
      socket.onclose?.({ code: 1006, reason: "connection failed" });
      try {
        socket.close();
      } catch (_) {
        // not open
      }
    };
    socket.onclose = (event) => {
      clearTimeout(promptCheck);
      if (this._socket !== socket) return;
      this._socket = null;
      socket.onopen = socket.onmessage = socket.onerror = socket.onclose = null;
      this._failAll(new LenvaroError("connection lost", "CLOSED"));
      if (opened) {
        this._emit("close", { code: event?.code, reason: event?.reason });
        this._afterLoss(true);
      } else {
        this._attemptFailed({});
      }
    };
  }

  _afterLoss(wasOpen, refusal = null) {
    if (this._closedByUser) return;
    if (!this.reconnect) {
      this._closedByUser = true;
      const error = refusal
        ? blockedError(refusal)
        : new LenvaroError(wasOpen ? "connection lost" : "service unavailable", "UNAVAILABLE");
      this._settleOpenWaiters((waiter) => waiter.reject(error));
      return;
    }
    const delayMs = this._retryDelay;
    this._retryDelay = Math.min(this._retryDelay * 2, this.maxReconnectDelayMs);
    this._attempt += 1;
    this._emit("reconnecting", { attempt: this._attempt, delayMs });
    this._retryTimer = setTimeout(() => {
      this._retryTimer = null;
      if (!this._closedByUser) this._open();
    }, delayMs);
  }

  _failAll(error) {
    for (const entry of this._pending.splice(0)) this._settle(entry, () => entry.reject(error));
    for (const entry of this._workerCalls.splice(0)) this._settle(entry, () => entry.reject(error));
  }

  _settle(entry, action) {
    if (entry.timer) clearTimeout(entry.timer);
    entry.timer = null;
    action();
  }

  /** Sends a text as it is, without waiting for anything. */
  sendRaw(text) {
    if (!this.connected) throw new LenvaroError("not connected", "NOT_CONNECTED");
    this._socket.send(text);
  }

  /**
   * Sends a command and resolves with its result: a text for quoted and marker replies, the
   * parsed value for raw ones (lists, upload answers), undefined for commands that are never
   * answered, and null for a "camCombinePDF" the service does not answer.
   */
  async call(name, args = {}, options = {}) {
    const answer = await this.request(name, args, options);
    return answer === null || answer === undefined ? answer : answer.result;
  }

  /** As call(), but resolves with the whole parsed reply ({name, result, form, text}). */
  request(name, args = {}, options = {}) {
    return new Promise((resolve, reject) => {
      if (!this.connected) {
        reject(new LenvaroError("not connected", "NOT_CONNECTED", name));
        return;
      }
      const message = { FuncName: name };
      if (args && Object.keys(args).length > 0) message.argument = args;
      try {
        this._socket.send(JSON.stringify(message));
      } catch (error) {
        reject(new LenvaroError(`send failed: ${error?.message ?? error}`, "SEND_FAILED", name));
        return;
      }
      if (NEVER_ANSWERED.has(name)) {
        resolve(undefined);
        return;
      }
      const entry = { name, resolve, reject, timer: null };
      const timeoutMs = options.timeoutMs ?? this._timeoutFor(name, args);
      const list = name === ANSWERED_BY_WORKER ? this._workerCalls : this._pending;
      if (MAY_GO_UNANSWERED.has(name) && this._lastPdfAddFailed && !this._pending.some((e) => e.name === "camAddFileToPDFList")) {
        // The last add failed: the service will not answer this combine.
        resolve(null);
        return;
      }
      if (Number.isFinite(timeoutMs) && timeoutMs >= 0) {
        entry.timer = setTimeout(() => {
          const at = list.indexOf(entry);
          if (at >= 0) list.splice(at, 1);
          if (MAY_GO_UNANSWERED.has(name)) resolve(null);
          else reject(Object.assign(new LenvaroError(`no reply to ${name} within ${timeoutMs} ms`, "TIMEOUT", name), { timeoutMs }));
        }, timeoutMs);
      }
      list.push(entry);
    });
  }

  _timeoutFor(name, args) {
    if (DELAYED_BY_ARGUMENT.has(name)) {
      const delay = Number(args?.ldelayTime ?? 0);
      if (delay < 0) return Infinity;  // the service waits for weeks
      return Math.max(this.timeoutMs, delay + DELAY_MARGIN_MS);
    }
    return Math.max(this.timeoutMs, SLOW_COMMAND_TIMEOUT_MS[name] ?? 0);
  }

  _receive(text) {
    this._emit("message", text);
    const parsed = parseMessage(text);
    if (parsed.kind === "frame") {
      this._emit("frame", parsed.data);
      return;
    }
    if (parsed.kind !== "reply") {
      this._emit("unmatched", parsed);
      return;
    }
    if (parsed.name === AUTO_CAPTURE_EVENT) {
      this._emit("autoCapture", parsed.result);
      this._emit("reply", parsed);
      return;
    }
    if (parsed.name === ANSWERED_BY_WORKER) {
      const entry = this._workerCalls.shift();
      this._emit("reply", parsed);
      if (entry) this._settle(entry, () => entry.resolve(parsed));
      else this._emit("unmatched", parsed);
      return;
    }
    const at = this._pending.findIndex((entry) => parsed.names.includes(entry.name));
    if (at < 0) {
      this._emit("reply", parsed);
      this._emit("unmatched", parsed);
      return;
    }
    const entry = this._pending[at];
    if (parsed.name === null) parsed.name = entry.name;
    // The service answers in order: calls sent before this one that are still waiting will not
    // be answered any more.
    for (const skipped of this._pending.splice(0, at + 1).slice(0, at)) {
      this._settle(skipped, () => {
        if (MAY_GO_UNANSWERED.has(skipped.name)) skipped.resolve(null);
        else skipped.reject(new LenvaroError(`${skipped.name} was not answered`, "NO_REPLY", skipped.name));
      });
    }
    if (entry.name === "camAddFileToPDFList") this._afterPdfAdd(parsed.result !== "0");
    this._emit("reply", parsed);
    this._settle(entry, () => entry.resolve(parsed));
  }

  // After a failed add the service answers no combine until the next add: the combines sent
  // between this add and the next one resolve null at once.
  _afterPdfAdd(failed) {
    this._lastPdfAddFailed = failed;
    if (!failed) return;
    for (let i = 0; i < this._pending.length; ) {
      const entry = this._pending[i];
      if (entry.name === "camAddFileToPDFList") break;
      if (MAY_GO_UNANSWERED.has(entry.name)) {
        this._pending.splice(i, 1);
        this._settle(entry, () => entry.resolve(null));
      } else {
        i += 1;
      }
    }
  }
}

/**
 * Shows the client's preview frames in an <img> or a <canvas>. A frame is drawn only once the
 * previous one is; frames arriving meanwhile replace each other, so a slow page shows the newest
 * frame instead of falling behind. Returns {stop(), rendered, dropped}.
 */
export function showPreview(client, target, options = {}) {
  const isCanvas = typeof target.getContext === "function";
  let latest = null;
  let busy = false;
  let stopped = false;
  const state = {
    rendered: 0,
    dropped: 0,
    stop() {
      stopped = true;
      unsubscribe();
    },
  };

  const finished = () => {
    busy = false;
    if (!stopped && latest !== null) draw();
  };
  const draw = () => {
    const data = latest;
    latest = null;
    busy = true;
    if (isCanvas) {
      const bytes = Uint8Array.from(atob(data), (c) => c.charCodeAt(0));
      createImageBitmap(new Blob([bytes], { type: "image/jpeg" }))
        .then((bitmap) => {
          if (!stopped) {
            if (target.width !== bitmap.width) target.width = bitmap.width;
            if (target.height !== bitmap.height) target.height = bitmap.height;
            target.getContext("2d").drawImage(bitmap, 0, 0);
            state.rendered += 1;
            options.onRender?.(state.rendered);
          }
          bitmap.close?.();
        })
        .catch(() => {})
        .finally(finished);
    } else {
      target.onload = () => {
        state.rendered += 1;
        options.onRender?.(state.rendered);
        finished();
      };
      target.onerror = finished;
      target.src = toDataUrl(data);
    }
  };
  const unsubscribe = client.on("frame", (data) => {
    if (stopped) return;
    if (latest !== null) state.dropped += 1;
    latest = data;
    if (!busy) draw();
  });
  return state;
}
