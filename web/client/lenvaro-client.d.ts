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

export interface ServiceStatus {
  name: string;
  version: string;
}

export declare function fetchStatus(
  url?: string,
  options?: { timeoutMs?: number; fetchImpl?: typeof fetch },
): Promise<ServiceStatus | null>;

export type LenvaroErrorCode =
  | "NO_WEBSOCKET"
  | "NOT_CONNECTED"
  | "SEND_FAILED"
  | "TIMEOUT"
  | "NO_REPLY"
  | "CLOSED"
  | "UNAVAILABLE";

export declare class LenvaroError extends Error {
  code: LenvaroErrorCode;
  command?: string;
}

export interface LenvaroClientOptions {
  url?: string;
  WebSocket?: { new (url: string): WebSocket };
  timeoutMs?: number;
  reconnect?: boolean;
  reconnectDelayMs?: number;
  maxReconnectDelayMs?: number;
}

export interface CallOptions {
  /** How long to wait for the reply; Infinity waits for ever. */
  timeoutMs?: number;
}

export interface LenvaroEvents {
  open: { url: string };
  close: { code?: number; reason?: string };
  unavailable: { url: string; error?: unknown };
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
  connect(): Promise<void>;
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
