// Type declarations for lenvaro-client.js.

export declare const DEFAULT_URL: string;

export type ReplyForm = "quoted" | "raw" | "marker";

/** A reply or a push of the service, taken apart. */
export interface Reply {
  kind: "reply";
  /** The command answered; null only for a "$-$" text no call claimed. */
  name: string | null;
  /** The commands this reply may answer (several for "$-$" recognised text). */
  names: string[];
  /** Text for quoted and marker replies; the parsed JSON value (or the raw text) for raw ones. */
  result: unknown;
  form: ReplyForm;
  /** The message exactly as received. */
  text: string;
}

export interface PreviewFrame {
  kind: "frame";
  /** Base64 of a JPEG. */
  data: string;
}

export interface UnknownMessage {
  kind: "unknown";
  text: unknown;
}

export type ParsedMessage = Reply | PreviewFrame | UnknownMessage;

export declare function parseMessage(text: string): ParsedMessage;
export declare function splitListing(text: string): string[];
export declare function splitMarkerFields(text: string): string[];
export declare function toDataUrl(base64: string, mimeType?: string): string;
export declare function statusUrlFor(url?: string): string;

/** The capture library's statuses: 0 and -1 to -6. */
export declare const LIBRARY_STATUSES: Readonly<Record<number, { name: string; meaning: string }>>;
/**
 * What a failure a command answered means (English): a negative status, or a result particular
 * to the command (camGetCurResolution's unsigned -1 sizes: "no camera open"); null otherwise.
 */
export declare function describeStatus(result: unknown, command?: string): string | null;

/** The camera the service has open, as GET /status tells it. */
export interface OpenCameraStatus {
  device: number;
  /** The media type index it runs with (as in camGetMediaTypeName's list). */
  mediaType: number;
  /** The frame size it delivers (as asked until the first frame came; 0: the camera's default). */
  width: number;
  height: number;
  /** Settings of that camera, applied to captures (not to the preview). */
  rotation: number;
  cropType: number;
  cropBox: { left: number; top: number; right: number; bottom: number } | null;
}

/**
 * GET /status. Name and version for every page; the state only for pages the service lets in
 * (its allowedOrigin list) and for its own.
 */
export interface ServiceStatus {
  name: string;
  version: string;
  cameras?: OpenCameraStatus[];
  /** The preview width asked with PreZoneSize (0: full frames). */
  previewWidth?: number;
  recording?: { device: number; seconds: number } | null;
  /** captured: the number of the last file auto capture wrote. */
  autoCapture?: { device: number; captured: number } | null;
  /** Pictures in the PDF list. */
  pdfList?: number;
}

export type AddressSpace = "loopback" | "local" | "public";
export type RefusalReason = "insecure-page" | "permission-denied" | "permission-prompt";
export type LocalNetworkPermission = "granted" | "denied" | "prompt";

/** What a page knows of itself, for judging a refused connection. */
export interface PageCircumstances {
  pageUrl?: string;
  secureContext?: boolean;
  permissions?: Permissions;
}

export interface Refusal {
  reason: RefusalReason;
  /** What happened and what to do, in English. */
  message: string;
}

export declare function addressSpaceOf(hostname: string): AddressSpace;
export declare function explainRefusal(circumstances: {
  serviceUrl: string;
  pageUrl?: string;
  secureContext?: boolean;
  permission?: LocalNetworkPermission | null;
  waiting?: boolean;
  pageAddressSpace?: AddressSpace;
}): Refusal | null;
export declare function localNetworkPermission(
  serviceUrl?: string,
  permissions?: Permissions,
): Promise<LocalNetworkPermission | null>;

/**
 * The service's name, version and state (GET /status), null when nothing answers; rejects with a
 * LenvaroError of code "BLOCKED" (with `reason`) when the browser refused the request.
 */
export declare function fetchStatus(
  url?: string,
  options?: { timeoutMs?: number; fetchImpl?: typeof fetch; pageAddressSpace?: AddressSpace; page?: PageCircumstances },
): Promise<ServiceStatus | null>;

export type LenvaroErrorCode =
  | "NO_WEBSOCKET"
  | "NOT_CONNECTED"
  | "SEND_FAILED"
  | "TIMEOUT"
  | "NO_REPLY"
  | "CLOSED"
  | "UNAVAILABLE"
  | "BLOCKED";

export declare class LenvaroError extends Error {
  code: LenvaroErrorCode;
  command?: string;
  /** With code "BLOCKED": why the browser refused. */
  reason?: RefusalReason;
  /** With code "TIMEOUT": how long the call waited. */
  timeoutMs?: number;
}

export interface LenvaroClientOptions {
  url?: string;
  WebSocket?: { new (url: string): WebSocket };
  timeoutMs?: number;
  reconnect?: boolean;
  reconnectDelayMs?: number;
  maxReconnectDelayMs?: number;
  /** Where this page is served from, when its host name does not tell. */
  pageAddressSpace?: AddressSpace;
  /** The page's circumstances for judging a refusal; the current page by default. */
  page?: PageCircumstances;
  /** How long an attempt may hang before the client looks for a browser question (1500 ms). */
  promptCheckMs?: number;
  /** How long connect() waits for the connection before it rejects (5000 ms; Infinity: for ever). */
  connectTimeoutMs?: number;
}

export interface CallOptions {
  /** How long to wait for the reply; Infinity waits for ever. */
  timeoutMs?: number;
}

export interface LenvaroEvents {
  open: { url: string };
  close: { code?: number; reason?: string };
  unavailable: { url: string; error?: unknown };
  /** The browser, not the service, refused the attempt (or holds it while it asks the user). */
  blocked: { url: string; reason: RefusalReason; message: string; waiting: boolean };
  reconnecting: { attempt: number; delayMs: number };
  frame: string;
  autoCapture: string;
  reply: Reply;
  unmatched: ParsedMessage;
  message: string;
  error: unknown;
}

export declare class LenvaroClient {
  constructor(options?: LenvaroClientOptions);
  readonly url: string;
  readonly connected: boolean;
  on<K extends keyof LenvaroEvents>(event: K, listener: (value: LenvaroEvents[K]) => void): () => void;
  off<K extends keyof LenvaroEvents>(event: K, listener: (value: LenvaroEvents[K]) => void): void;
  /**
   * Resolves once connected. Rejects after timeoutMs (connectTimeoutMs by default) with code
   * "UNAVAILABLE" ("BLOCKED" when the browser refused) while reconnection goes on in the
   * background ("open" tells when it succeeds); without reconnect also when the attempt fails.
   */
  connect(options?: { timeoutMs?: number }): Promise<void>;
  close(): void;
  sendRaw(text: string): void;
  /**
   * Sends a command and resolves with its result: a text for quoted and marker replies, the
   * parsed value for raw replies, undefined for commands never answered ("PreZoneSize",
   * "camGetMicrophoneVolumeLevel"), null for a "camCombinePDF" the service does not answer.
   */
  call<T = any>(name: string, args?: Record<string, unknown>, options?: CallOptions): Promise<T>;
  request(name: string, args?: Record<string, unknown>, options?: CallOptions): Promise<Reply | null | undefined>;
}

export interface PreviewHandle {
  readonly rendered: number;
  readonly dropped: number;
  stop(): void;
}

export declare function showPreview(
  client: LenvaroClient,
  target: HTMLImageElement | HTMLCanvasElement,
  options?: { onRender?: (rendered: number) => void },
): PreviewHandle;
