// The demo page: every device family of the service from one page, through the client library.
import {
  LenvaroClient, describeStatus, fetchStatus, showPreview, splitListing, splitMarkerFields, toDataUrl,
} from "./client/lenvaro-client.js";

// ---- Labels in Chinese and English -------------------------------------------------------------
const LABELS = {
  title: ["Lenvaro Server 演示", "Lenvaro Server demo"],
  address: ["地址", "Address"],
  connect: ["连接", "Connect"],
  folder: ["工作目录", "Work folder"],
  "state.open": ["已连接", "Connected"],
  "state.closed": ["未连接", "Disconnected"],
  "state.connecting": ["连接中…", "Connecting…"],
  "state.absent": ["未连接", "Not connected"],
  "state.blocked": ["浏览器已阻止", "Blocked by the browser"],
  "preview.idle": ["打开相机后在此显示实时画面", "Open a camera to see its live picture here"],
  "preview.starting": ["正在等待画面…", "Waiting for the picture…"],
  "preview.lost": ["连接已断开，画面已停止", "Connection lost: the picture has stopped"],
  "preview.reopen": ["已重新连接：服务的相机已关闭（服务可能已重新启动），请重新打开相机", "Reconnected: the service's camera is closed (it may have been restarted); open the camera again"],
  "preview.taken": ["另一个页面已接管预览", "Another page has taken the preview"],
  "preview.stalled": ["预览已停止：可能被另一个页面接管，或相机已停止", "The preview has stopped: another page may have taken it, or the camera stopped"],
  "preview.takeBack": ["取回预览", "Take it back"],
  "preview.full": ["原始大小", "Full size"],
  "preview.frames": ["帧数", "Frames"],
  "preview.dropped": ["丢弃", "Dropped"],
  "preview.size": ["尺寸", "Size"],
  "camera.device": ["设备", "Device"],
  "camera.mediaType": ["格式", "Media type"],
  "camera.resolution": ["分辨率", "Resolution"],
  "camera.open": ["打开相机", "Open camera"],
  "camera.close": ["关闭相机", "Close camera"],
  "camera.previewWidth": ["预览宽度", "Preview width"],
  "camera.firstType": ["打开后列出", "Listed once opened"],
  "camera.largest": ["最大（打开后列出）", "Largest (listed once opened)"],
  "tab.capture": ["拍照", "Capture"],
  "tab.documents": ["文档", "Documents"],
  "tab.cards": ["证卡", "Cards"],
  "tab.biometrics": ["指纹人脸", "Finger & face"],
  "tab.recognition": ["识别", "Recognition"],
  "tab.signature": ["签名", "Signature"],
  "tab.files": ["文件上传", "Files & upload"],
  "tab.console": ["命令", "Console"],
  "capture.settings": ["图像设置", "Image settings"],
  "capture.rotate": ["旋转", "Rotation"],
  "capture.crop": ["裁切", "Crop"],
  "crop.none": ["不裁切", "None"],
  "crop.auto": ["单张文档", "The document"],
  "crop.all": ["全部文档", "All documents"],
  "capture.customCrop": ["自定义裁切框 (左 上 右 下)", "Custom crop box (left top right bottom)"],
  "capture.forCaptures": ["旋转和裁切只作用于拍照结果，不改变预览画面；自定义裁切框在预览上以蓝框标出。", "Rotation and crop apply to captures, not to the preview; a custom crop box is framed in blue on the preview."],
  "capture.saved": ["已保存到 {path}", "Saved to {path}"],
  "capture.base64Length": ["{n} 个 Base64 字符", "{n} Base64 characters"],
  apply: ["应用", "Apply"],
  "capture.capture": ["拍照", "Capture"],
  path: ["路径", "Path"],
  "capture.toFile": ["拍照存文件", "Capture to file"],
  "capture.base64": ["拍照 Base64", "Capture as Base64"],
  "capture.fileBase64": ["文件转 Base64", "File as Base64"],
  "auto.title": ["自动拍照", "Auto capture"],
  "auto.type": ["类型", "Type"],
  "auto.events": ["事件", "Events"],
  "auto.files": ["已写入的文件", "Files written"],
  "auto.running": ["运行中", "Running"],
  "auto.stopped": ["未运行", "Not running"],
  start: ["开始", "Start"],
  stop: ["停止", "Stop"],
  "pdf.title": ["合成 PDF", "PDF assembly"],
  "pdf.image": ["图片", "Picture"],
  "pdf.add": ["加入列表", "Add to list"],
  "pdf.list": ["列表", "List"],
  "pdf.count": ["服务列表中的图片：{n}", "Pictures in the service's list: {n}"],
  "pdf.notCombined": ["未合成：最近一次加入列表失败，服务不会合成。请重新加入图片。", "Not combined: the last add to the list failed, so the service does not combine. Add the pictures again."],
  "pdf.output": ["输出", "Output"],
  "pdf.quality": ["质量", "Quality"],
  "pdf.combine": ["合成", "Combine"],
  "combine.title": ["两图合并", "Combine two pictures"],
  "combine.first": ["图片 1", "Picture 1"],
  "combine.second": ["图片 2", "Picture 2"],
  "combine.type": ["方式", "Layout"],
  "combine.side": ["左右并排", "Side by side"],
  "combine.below": ["上下排列", "One above the other"],
  "combine.onto": ["叠加在图片 1 上", "Second onto the first"],
  "combine.offset": ["偏移 X Y", "Offset X Y"],
  "combine.run": ["合并", "Combine"],
  "record.title": ["录像", "Recording"],
  "record.audio": ["声音", "Sound"],
  "record.format": ["编码", "Encoding"],
  "record.noAudio": ["无声音", "No sound"],
  "record.running": ["正在录像 {time}", "Recording {time}"],
  "record.stopped": ["未在录像", "Not recording"],
  "record.saved": ["录像已保存到 {path}", "Recording saved to {path}"],
  "card.id": ["身份证", "ID card"],
  "card.photoPath": ["头像路径", "Photo path"],
  "card.read": ["读身份证", "Read ID card"],
  "card.readEx": ["读身份证(含照片)", "Read with photo"],
  "card.other": ["其它卡", "Other cards"],
  "card.social": ["社保卡", "Social security"],
  "card.bank": ["银行卡", "Bank card"],
  "card.magnetic": ["磁条卡", "Magnetic card"],
  "card.icNumber": ["IC 卡号", "IC card number"],
  "finger.title": ["指纹", "Fingerprint"],
  init: ["初始化", "Initialise"],
  "finger.collect1": ["采集 1", "Collect 1"],
  "finger.collect2": ["采集 2", "Collect 2"],
  "finger.compare": ["比对", "Compare"],
  "finger.image": ["指纹图像", "Fingerprint image"],
  "face.title": ["人脸", "Face"],
  "face.file1": ["图片 1", "Picture 1"],
  "face.file2": ["图片 2", "Picture 2"],
  "face.byFile": ["两图比对", "Compare pictures"],
  "face.byVideo": ["与实时画面比对", "Compare with live picture"],
  "face.delay": ["时限 ms", "Time limit ms"],
  "face.score": ["分数", "Score"],
  "face.background": ["后台比对", "Match in background"],
  "rec.image": ["图片", "Picture"],
  "rec.barcode": ["条码", "Barcode"],
  "rec.readBarcode": ["识别条码", "Read barcodes"],
  "rec.language": ["语言", "Language"],
  "rec.text": ["文字识别 (OCR)", "Text recognition (OCR)"],
  "rec.ocr": ["识别文字", "Recognise text"],
  "rec.templates": ["模板", "Templates"],
  "rec.template": ["模板", "Template"],
  "rec.info": ["模板信息", "Template info"],
  "rec.recognize": ["按模板识别", "Recognise form"],
  "sign.title": ["签名板", "Signature pad"],
  "sign.output": ["签名文件", "Signature file"],
  "sign.start": ["开始签名", "Start signing"],
  "sign.again": ["清除重签", "Sign again"],
  "sign.end": ["结束", "End"],
  "sign.image": ["取签名图像", "Get signature"],
  "files.listing": ["目录文件", "Folder listing"],
  "files.list": ["列出", "List"],
  "files.upload": ["上传", "Upload"],
  "files.fields": ["字段", "Fields"],
  "files.http": ["HTTP 上传", "HTTP upload"],
  "files.ftp": ["FTP 上传", "FTP upload"],
  "files.url": ["网址", "URL"],
  "files.ftpPath": ["FTP 位置", "FTP location"],
  "files.user": ["用户", "User"],
  "files.password": ["密码", "Password"],
  "files.delete": ["删除", "Delete"],
  "files.deleted": ["已删除 {path}", "Deleted {path}"],
  "files.none": ["该目录中没有文件（或目录不存在）", "No files in that folder (or it does not exist)"],
  "files.count": ["{folder} 中的文件：{n}", "Files in {folder}: {n}"],
  "files.answer": ["服务器应答：{answer}", "The server answered: {answer}"],
  "console.title": ["发送任意命令", "Send any command"],
  "console.name": ["命令名 (FuncName)", "Command (FuncName)"],
  "console.args": ["参数 (argument, JSON)", "Arguments (argument, JSON)"],
  send: ["发送", "Send"],
  noReply: ["（无应答）", "(no reply)"],
  written: ["已写入 {path}", "Written to {path}"],
  "notice.absent": [
    "本机没有运行 Lenvaro Server。请启动它：在源码目录中运行 scripts/start，或运行 lenvaro-server（已安装时也可用 systemctl --user start lenvaro-server）。服务运行后本页会自动连接。",
    "Lenvaro Server is not running on this computer. Start it: scripts/start in the source tree, or lenvaro-server (when installed, also systemctl --user start lenvaro-server). This page connects by itself once it runs.",
  ],
  "error.NOT_CONNECTED": ["未连接到服务，{name} 未发送", "Not connected to the service: {name} was not sent"],
  "error.TIMEOUT": ["{name} 在 {ms} 毫秒内没有应答", "No reply to {name} within {ms} ms"],
  "error.NO_REPLY": ["服务没有应答 {name}", "The service did not answer {name}"],
  "error.CLOSED": ["{name} 应答前连接已断开", "The connection was lost before {name} was answered"],
  "error.SEND_FAILED": ["{name} 发送失败", "{name} could not be sent"],
  "error.json": ["参数不是有效的 JSON：{message}", "The arguments are not valid JSON: {message}"],
  "empty.capture": ["没有得到图片：相机是否已打开？", "No picture came back: is a camera open?"],
  "empty.file": ["无法读取文件 {path}", "The file {path} could not be read"],
  "empty.signature": ["没有签名图像：请先开始签名并签字（或文件无法写入）", "No signature to show: start signing and sign first (or the file could not be written)"],
  "empty.barcode": ["图片中没有找到条码", "No barcode found in the picture"],
  "empty.text": ["图片中没有识别出文字", "No text recognised in the picture"],
  "empty.fingerprint": ["没有采集到指纹", "No fingerprint was taken"],
  "empty.card": ["没有读到卡（读卡器上没有卡？）", "No card was read (is there one on the reader?)"],
  "empty.upload": ["上传失败：服务器无法连接或没有应答", "The upload failed: the server could not be reached or gave no answer"],
  "id.0": ["姓名", "Name"], "id.1": ["性别", "Sex"], "id.2": ["民族", "Ethnicity"],
  "id.3": ["出生", "Birth date"], "id.4": ["住址", "Address"], "id.5": ["身份号码", "ID number"],
  "id.6": ["签发机关", "Issued by"], "id.7": ["有效期起", "Valid from"], "id.8": ["有效期止", "Valid until"],
  "id.9": ["照片", "Photo"],
  "refusal.insecure-page": [
    "浏览器不允许此页面连接本机的服务：页面通过普通 HTTP 从浏览器视为公网的地址打开。请改用 HTTPS 提供页面（浏览器会询问一次），或由管理员把页面的来源写入 allowedOrigin 并运行 lenvaro-server --browser-policy install。",
    "The browser does not let this page reach the service on this computer: the page is served over plain HTTP from an address the browser counts as public. Serve the page over HTTPS (the browser then asks once), or have the administrator list the page's origin in allowedOrigin and run lenvaro-server --browser-policy install.",
  ],
  "refusal.permission-denied": [
    "浏览器已拒绝此页面访问本机和局域网设备（本站点的“本地网络访问”权限为“禁止”）。请在地址栏左侧的网站设置中允许，或由管理员运行 lenvaro-server --browser-policy install。",
    "The browser refuses this page access to devices on this computer and the local network (the site's local network access permission is 'denied'). Allow it in the site settings left of the address, or have the administrator run lenvaro-server --browser-policy install.",
  ],
  "refusal.permission-prompt": [
    "浏览器正在询问是否允许此页面访问本机和局域网设备：请选择“允许”。",
    "The browser is asking whether this page may reach devices on this computer and the local network: answer Allow.",
  ],
};

// The capture library's statuses in Chinese; the English meanings come from the client library.
const STATUS_ZH = {
  "-1": "设备或引擎执行失败（无卡、无手指、相机忙、引擎未启动）",
  "-2": "参数被拒绝：路径为空，或设备未列出该序号、尺寸或类型",
  "-3": "该序号没有设备，或未连接此类设备",
  "-4": "此库或设备不支持",
  "-5": "文件无法找到、读取或写入（或无权打开设备）",
  "-6": "采集库内部错误",
};
const COMMAND_STATUS_ZH = {
  camAddFileToPDFList: { "-99": "该路径下没有文件" },
  camCombinePDF: { "-2": "列表为空（请先加入图片），或未指定输出路径" },
  camGetCurResolution: { "18446744073709551615*18446744073709551615": "未打开相机" },
  camInitCameraLib: { "18446744073709551615": "采集库无法初始化" },
  CompareFingerFeature: { "-100": "指纹槽为空：请先采集 1 和 2" },
  camOpenDev: {
    "-1": "相机忙（其他程序正在使用）或 USB 带宽不足",
    "-2": "相机不支持该格式或尺寸",
    "-5": "无法打开相机：运行服务的用户需要加入 video 组",
  },
};

let language = (localStorage.getItem("lenvaro-demo-language") ?? navigator.language ?? "zh").startsWith("zh") ? 0 : 1;
// A label in the page's language, with {name} parts filled from `values`.
const t = (key, values = {}) => (LABELS[key] ?? [key, key])[language].replace(/\{(\w+)\}/g, (part, name) => (name in values ? String(values[name]) : part));

// ---- Small helpers ---------------------------------------------------------------------------
const $ = (id) => document.getElementById(id);
const value = (id) => $(id).value;
const intValue = (id) => Number.parseInt($(id).value, 10) || 0;
const inFolder = (name) => {
  const folder = value("workFolder").replace(/\/+$/, "") || "/";
  return name ? `${folder === "/" ? "" : folder}/${name}` : folder;
};
const pictureType = (path) => {
  const lower = path.toLowerCase();
  if (lower.endsWith(".png")) return "image/png";
  if (lower.endsWith(".bmp")) return "image/bmp";
  return "image/jpeg";
};
// The names auto capture writes: the number goes before the file name's extension
// ("/scan/page.jpg" and 3 give "/scan/page3.jpg"), as the service numbers them.
const numberedPath = (template, number) => {
  const nameStart = Math.max(template.lastIndexOf("/"), template.lastIndexOf("\\")) + 1;
  const dot = template.lastIndexOf(".");
  const at = dot >= nameStart ? dot : template.length;
  return `${template.slice(0, at)}${number}${template.slice(at)}`;
};
// A listing joins folder and name with "//": shown with single slashes.
const tidyPath = (path) => path.replace(/\/{2,}/g, "/");
const clock = (seconds) => `${Math.floor(seconds / 60)}:${String(seconds % 60).padStart(2, "0")}`;

// Arguments that must not appear in the log as typed (FTP password, IC card keys).
const SECRET_ARGUMENT = /psd|passw|pwd|pkey/i;
const forLog = (args) => JSON.stringify(args, (key, item) => (key && SECRET_ARGUMENT.test(key) && item !== "" ? "••••••" : item));

function log(kind, text) {
  const line = document.createElement("div");
  line.className = kind;
  const time = new Date().toLocaleTimeString();
  line.textContent = `${time} ${kind === "out" ? "→" : kind === "in" ? "←" : "•"} ${text.length > 300 ? text.slice(0, 300) + "…" : text}`;
  const box = $("log");
  box.append(line);
  while (box.childElementCount > 200) box.firstElementChild.remove();
  box.scrollTop = box.scrollHeight;
}

// The result of the last action; a failure reads as one.
function showText(text, failure = false) {
  $("resultText").textContent = typeof text === "string" ? text : JSON.stringify(text, null, 1);
  $("resultText").classList.toggle("failure", failure);
}

const failed = (text) => showText(text, true);

function showImage(base64, mimeType = "image/jpeg") {
  if (base64) $("resultImage").src = toDataUrl(base64, mimeType);
}

// Every action starts with an empty result, so an old picture never stands beside a new text.
function clearResult() {
  $("resultImage").removeAttribute("src");
  showText("");
}

// What a failure a command answered means, in the page's language; null for other results.
function statusMeaning(result, command) {
  const english = describeStatus(result, command);
  if (english === null || language === 1) return english;
  return COMMAND_STATUS_ZH[command]?.[result] ?? STATUS_ZH[result] ?? english;
}

// A call that failed (not connected, no reply in time, connection lost), in the page's language.
function errorText(error) {
  if (error?.code && LABELS[`error.${error.code}`]) {
    return t(`error.${error.code}`, { name: error.command ?? "", ms: error.timeoutMs ?? "" });
  }
  return String(error?.message ?? error);
}

function report(error) {
  log("error", String(error?.message ?? error));
  failed(errorText(error));
}

// ---- Connection and the service's state ------------------------------------------------------
let client = null;
let preview = null;
let connectionState = "closed";      // open, closed, connecting, absent, blocked
let serviceState = { kind: "unknown" };  // found {name, version}, absent, blocked {reason}, unknown
let refusalReason = null;            // why the browser refuses, while it does
let lastStatus = null;               // the service's last GET /status answer
const pageId = Math.random().toString(36).slice(2);
// Other tabs of this page on the same service: a tab that connects takes the preview pushes.
const tabs = typeof BroadcastChannel === "function" ? new BroadcastChannel("lenvaro-demo") : null;

function setConnectionState(state) {
  connectionState = state;
  const badge = $("connectionState");
  badge.dataset.state = state;
  badge.textContent = t(`state.${state}`);
  renderNotice();
}

// The service's name and version while it answers; nothing otherwise (the notice says why).
function renderServiceState() {
  const badge = $("serviceStatus");
  badge.dataset.state = serviceState.kind;
  badge.hidden = serviceState.kind !== "found";
  badge.textContent = serviceState.kind === "found" ? `${serviceState.name} ${serviceState.version}` : "";
}

// One notice under the header: why the browser refuses the page, or that the service is not
// running and how to start it.
function renderNotice() {
  const key = refusalReason !== null ? `refusal.${refusalReason}` : connectionState === "absent" ? "notice.absent" : null;
  const notice = $("notice");
  notice.hidden = key === null;
  notice.dataset.kind = key ?? "";
  notice.textContent = key === null ? "" : t(key);
}

function setRefusal(reason) {
  refusalReason = reason;
  renderNotice();
}

// GET /status: the badge, and the state the page shows (when the service tells it to this page).
async function readStatus() {
  const url = value("serviceUrl");
  let status = null;
  let state;
  try {
    status = await fetchStatus(url);
    state = status ? { kind: "found", name: status.name, version: status.version } : { kind: "absent" };
  } catch (error) {
    if (error?.code !== "BLOCKED") throw error;
    state = { kind: "blocked", reason: error.reason };
    setRefusal(error.reason);
  }
  if (url !== value("serviceUrl")) return null;  // another address was chosen meanwhile
  serviceState = state;
  renderServiceState();
  if (status && "cameras" in status) lastStatus = status;
  return status && "cameras" in status ? status : null;
}

function connect() {
  if (client) client.close();
  preview?.stop();
  setRefusal(null);
  client = new LenvaroClient({ url: value("serviceUrl") });
  // Told once per loss, not at every attempt.
  let toldAbsent = false;
  client.on("open", () => {
    toldAbsent = false;
    setConnectionState("open");
    setRefusal(null);
    log("event", "open");
    otherPageNewer = false;
    tabs?.postMessage({ type: "connected", url: client.url, from: pageId });
    afterOpen().catch(report);
  });
  client.on("close", () => {
    setConnectionState("closed");
    log("event", "close");
    if (previewState !== "idle") setPreviewState("lost");
    readStatus().catch(() => {});
  });
  client.on("unavailable", () => {
    setConnectionState("absent");
    setRefusal(null);
    serviceState = { kind: "absent" };
    renderServiceState();
    if (!toldAbsent) log("error", "unavailable");
    toldAbsent = true;
  });
  client.on("blocked", ({ reason }) => {
    setConnectionState("blocked");
    setRefusal(reason);
    serviceState = { kind: "blocked", reason };
    renderServiceState();
    if (!toldAbsent) log("error", `blocked: ${reason}`);
    toldAbsent = true;
  });
  client.on("reconnecting", ({ attempt, delayMs }) => {
    if (connectionState !== "absent" && connectionState !== "blocked") setConnectionState("connecting");
    if (attempt === 1) log("event", `reconnect in ${delayMs} ms`);
  });
  client.on("reply", (reply) => log("in", reply.text));
  client.on("autoCapture", autoCaptureEvent);
  preview = showPreview(client, $("preview"), { onRender: frameShown });
  setConnectionState("connecting");
  client.connect().catch(() => {});
}

// Once connected: the pickers, then the service's own state (which camera is open, at what
// size, with which settings), then the lists the other panels need.
let listsLoaded = false;

async function afterOpen() {
  await loadDeviceNames();
  await syncWithService();
  await loadLists();
  listsLoaded = true;
}

// Sends one command, logs it, and shows its result with the meaning of a failure;
// null/undefined results say "no reply".
async function run(name, args = {}, options = {}) {
  log("out", `${JSON.stringify(name)} ${forLog(args)}`);
  try {
    const result = await client.call(name, args, options);
    const meaning = statusMeaning(result, name);
    if (result === undefined || result === null) showText(`${name}: ${t("noReply")}`);
    else if (meaning) failed(`${result}: ${meaning}`);
    else showText(result);
    if (meaning) log("error", `${name} ${result}: ${meaning}`);
    return result;
  } catch (error) {
    report(error);
    throw error;
  }
}

function fillSelect(id, items, selected = 0) {
  const select = $(id);
  select.replaceChildren(...items.map((label, index) => new Option(label, String(index), false, index === selected)));
}

// One option standing for "not known until the camera is open", in the page's language.
function placeholderSelect(id, labelKey) {
  const option = new Option(t(labelKey), "");
  option.dataset.i18n = labelKey;
  $(id).replaceChildren(option);
}

const listOf = (result) => (Array.isArray(result) ? result.filter((item) => item !== "") : []);

// ---- Camera ----------------------------------------------------------------------------------
// The service lists media types and sizes only for the camera opened last, so the pickers
// describe camera.listsFor; any other device opens at its first type and largest size, and the
// pickers are filled from it once it is open.
const camera = { open: null, listsFor: null };
let previewState = "idle";   // idle, starting, live, lost, reopen, taken, stalled
let lastFrameAt = 0;
let previewStateSince = 0;
// Another tab of this page connected after this one: the preview is pushed there, not here.
let otherPageNewer = false;
const STALLED_AFTER_MS = 3000;
// Frames the service sent before another page took the preview, or before the camera was
// closed, still arrive for a while (a second of preview may wait in the connection, more under
// load): only a frame after that means the pushes came (back) to this page.
const IN_FLIGHT_MS = 2500;
// The custom crop box follows the camera's size until the user edits it.
let cropBoxEdited = false;

function setPreviewState(state) {
  if (state !== previewState) previewStateSince = Date.now();
  previewState = state;
  $("previewBox").dataset.state = state;
  if (state === "idle") $("preview").removeAttribute("src");
  $("previewMessage").dataset.i18n = `preview.${state}`;
  $("previewMessage").textContent = state === "live" ? "" : t(`preview.${state}`);
  $("takeBack").hidden = !(state === "taken" || state === "stalled");
}

function frameShown(rendered) {
  lastFrameAt = Date.now();
  const stillInFlight = ["taken", "idle"].includes(previewState) && lastFrameAt - previewStateSince < IN_FLIGHT_MS;
  // A frame sent before the camera was closed leaves no picture behind.
  if (previewState === "idle" && stillInFlight) $("preview").removeAttribute("src");
  // A frame decoded after the connection was lost is one of the last ones sent: the preview
  // stays lost.
  if (previewState !== "live" && !stillInFlight && connectionState === "open") {
    otherPageNewer = false;
    setPreviewState("live");
  }
  $("frameCount").value = String(rendered);
  $("droppedCount").value = String(preview?.dropped ?? 0);
  const image = $("preview");
  $("frameSize").value = `${image.naturalWidth}×${image.naturalHeight}`;
}

async function loadDeviceNames() {
  const names = listOf(await client.call("camGetDevName"));
  const picked = value("device");
  fillSelect("device", names);
  if (picked !== "" && Number(picked) < names.length) $("device").value = picked;
}

async function loadLists() {
  const audio = listOf(await client.call("camGetAudioDevName"));
  const noSound = new Option(t("record.noAudio"), "-1");
  noSound.dataset.i18n = "record.noAudio";
  $("recordAudio").replaceChildren(noSound, ...audio.map((name, index) => new Option(name, String(index))));
  fillSelect("recordFormat", listOf(await client.call("camGetVideoEncodeName")));
  await loadRecognitionLists();
}

// The page shows what the service has: after loading, after a reconnect, when the tab comes to
// the front, after a camera is closed and after each change of the PDF list (which leaves the
// camera pickers alone: `pickers` false). One at a time: two would fill the pickers in turns.
let syncing = Promise.resolve();
function syncWithService(options) {
  const next = syncing.then(() => syncOnce(options));
  syncing = next.catch(() => {});
  return next;
}

async function syncOnce({ pickers = true } = {}) {
  const status = await readStatus();
  if (!status) {
    if (pickers) await showFormatsOfPickedDevice();
    return;
  }
  const open = status.cameras[0] ?? null;
  if (!pickers) {
    // nothing of the camera
  } else if (open) {
    camera.open = open.device;
    camera.listsFor = open.device;
    if (open.device < $("device").options.length) $("device").value = String(open.device);
    await loadFormats(open.mediaType);
    $("rotateMode").value = String(ROTATE_OPTION[open.rotation] ?? 0);
    $("cropType").value = String(open.cropType);
    if (open.cropBox) {
      setCropBox(open.cropBox);
      cropBoxEdited = true;
    }
    if (["idle", "lost", "reopen"].includes(previewState)) setPreviewState(otherPageNewer ? "taken" : "starting");
  } else {
    // The camera this page saw open is closed now (the service was restarted, or another page
    // closed it).
    if (camera.open !== null && previewState !== "idle") setPreviewState("reopen");
    else if (previewState === "lost") setPreviewState("idle");
    camera.open = null;
    await showFormatsOfPickedDevice();
  }
  // The service's preview width is the preview's only while a camera runs; otherwise the page's
  // choice stands for the next open.
  if (pickers && open) showPreviewWidth(status.previewWidth);
  showRecording(status.recording);
  showAutoCapture(status.autoCapture);
  showPdfList(status.pdfList);
}

// The rotation picker's option for a rotateMode: 0-3, or the degrees the library takes as well.
const ROTATE_OPTION = { 0: 0, 1: 1, 2: 2, 3: 3, 90: 1, 180: 2, 270: 3 };

function showPreviewWidth(width) {
  const select = $("previewWidth");
  if (![...select.options].some((option) => option.value === String(width))) select.append(new Option(String(width), String(width)));
  select.value = String(width);
}

function setCropBox({ left, top, right, bottom }) {
  $("cropLeft").value = String(left);
  $("cropTop").value = String(top);
  $("cropRight").value = String(right);
  $("cropBottom").value = String(bottom);
}

// Unless the user has set one, the custom box lies inside the frame: a tenth in from each side.
function defaultCropBoxFor(width, height) {
  if (cropBoxEdited || !(width > 0 && height > 0)) return;
  setCropBox({ left: Math.round(width / 10), top: Math.round(height / 10), right: Math.round(width * 0.9), bottom: Math.round(height * 0.9) });
}

async function showFormatsOfPickedDevice() {
  if (camera.listsFor !== null && intValue("device") === camera.listsFor) {
    await loadFormats();
  } else {
    placeholderSelect("mediaType", "camera.firstType");
    placeholderSelect("resolution", "camera.largest");
  }
}

// Media types and sizes of the camera opened last, with its current ones picked.
async function loadFormats(subtype = null) {
  const mediaTypes = listOf(await client.call("camGetMediaTypeName"));
  const keep = subtype ?? intValue("mediaType");
  fillSelect("mediaType", mediaTypes, keep < mediaTypes.length ? keep : 0);
  await loadResolutions();
}

async function loadResolutions() {
  fillSelect("resolution", listOf(await client.call("camGetResolution")));
  await pickCurrentResolution();
}

// The picker shows what the camera really runs at ("no camera open" picks nothing).
async function pickCurrentResolution() {
  if (camera.open === null) return;
  const current = await client.call("camGetCurResolution");
  if (statusMeaning(current, "camGetCurResolution")) return;
  const option = [...$("resolution").options].find((item) => item.textContent === current);
  if (option) $("resolution").value = option.value;
  const [width, height] = String(current).split("*").map(Number);
  defaultCropBoxFor(width, height);
}

function selectedSize() {
  const option = $("resolution").selectedOptions[0];
  if (!option || option.value === "") return { width: 0, height: 0 };
  const [width, height] = option.textContent.split("*").map(Number);
  return { width: width || 0, height: height || 0 };
}

async function openCamera() {
  const device = intValue("device");
  const listsDescribeIt = camera.listsFor === device && value("mediaType") !== "";
  const subtype = listsDescribeIt ? intValue("mediaType") : 0;
  const { width, height } = listsDescribeIt ? selectedSize() : { width: 0, height: 0 };
  const status = await run("camOpenDev", { devIndex: device, subtype, width, height });
  await client.call("PreZoneSize", { width: intValue("previewWidth") });
  if (status !== "0") {
    // The service closes the camera opened last before it tries: no picture is live any more.
    camera.open = null;
    setPreviewState("idle");
    return;
  }
  camera.open = device;
  camera.listsFor = device;
  if (previewState !== "live") setPreviewState(otherPageNewer ? "taken" : "starting");
  await loadFormats(subtype);
}

// Closes the camera the service has open, whatever the device picker shows.
async function closeCamera() {
  const device = camera.open ?? intValue("device");
  await run("camCloseDev", { devIndex: device });
  camera.open = null;
  setPreviewState("idle");
  // Closing ends the camera's recording and auto capture too.
  await syncWithService();
}

async function changeMediaType() {
  if (value("mediaType") === "") return;
  // The service takes the new type for its size list whatever the camera answers.
  await run("camSetMediaType", { iMediaIndex: intValue("mediaType") }).catch(() => "");
  await loadResolutions();
}

async function changeResolution() {
  if (value("resolution") === "") return;
  await run("camSetResolution", { index: intValue("resolution") }).catch(() => {});
  await pickCurrentResolution();
}

// The preview is pushed to one page only: when another page connects it goes there.
function watchPreview() {
  setInterval(() => {
    const quietFor = Date.now() - Math.max(lastFrameAt, previewStateSince);
    if (connectionState === "open" && ["live", "starting"].includes(previewState) && quietFor > STALLED_AFTER_MS) {
      setPreviewState("stalled");
    }
  }, 1000);
  tabs?.addEventListener("message", ({ data }) => {
    if (data?.type !== "connected" || data.from === pageId || data.url !== client?.url) return;
    otherPageNewer = true;
    if (["live", "starting", "stalled", "reopen"].includes(previewState)) setPreviewState("taken");
  });
}

// ---- Recording, auto capture and the PDF list, as the service runs them ----------------------
let recordingSince = null;   // Date.now() when the running recording began
let recordingTicker = null;

function showRecording(recording) {
  recordingSince = recording ? Date.now() - recording.seconds * 1000 : null;
  clearInterval(recordingTicker);
  recordingTicker = recordingSince === null ? null : setInterval(renderRecording, 1000);
  renderRecording();
}

function renderRecording() {
  const output = $("recordState");
  output.dataset.state = recordingSince === null ? "stopped" : "running";
  output.value = recordingSince === null ? t("record.stopped")
    : t("record.running", { time: clock(Math.floor((Date.now() - recordingSince) / 1000)) });
}

const autoCapture = { running: false, events: 0, files: [], armedEventSeen: false };

// The library reports each event; after the armed one ("1" here) the service captures the next
// numbered file and pushes "0". Events are counted once each, the "0" as the file it stands for.
function autoCaptureEvent(event) {
  log("event", `AutoCaptureBack ${event}`);
  if (event === "0" && autoCapture.armedEventSeen) {
    autoCapture.files.push(numberedPath(value("autoPath"), autoCapture.files.length + 1));
    autoCapture.armedEventSeen = false;
  } else {
    autoCapture.events += 1;
    autoCapture.armedEventSeen = event === String(AUTO_CAPTURE_PARAM);
  }
  renderAutoCapture();
}

function showAutoCapture(state) {
  autoCapture.running = state !== null && state !== undefined;
  if (autoCapture.running && autoCapture.files.length !== state.captured) {
    autoCapture.files = Array.from({ length: state.captured }, (_, index) => numberedPath(value("autoPath"), index + 1));
  }
  renderAutoCapture();
}

function renderAutoCapture() {
  $("autoState").value = t(autoCapture.running ? "auto.running" : "auto.stopped");
  $("autoState").dataset.state = autoCapture.running ? "running" : "stopped";
  $("autoEvents").value = String(autoCapture.events);
  $("autoFiles").replaceChildren(...autoCapture.files.map((file) => Object.assign(document.createElement("li"), { textContent: file })));
}

let pdfPictures = null;

function showPdfList(count) {
  pdfPictures = count ?? null;
  renderPdfList();
}

function renderPdfList() {
  $("pdfList").value = pdfPictures === null ? "-" : t("pdf.count", { n: pdfPictures });
}

// ---- Actions ---------------------------------------------------------------------------------
const AUTO_CAPTURE_PARAM = 1;

const signArguments = () => ({
  left: 0, ntop: 0, right: 400, bottom: 200, BR: 255, BG: 255, BB: 255, BT: 0, R: 0, G: 0, B: 160, nBackNum: 0,
  filepath: value("signPath"), fileSignpath: value("signPath"),
});

// A file the service wrote, shown as a picture.
async function showWrittenPicture(path) {
  showText(t("written", { path }));
  const base64 = await client.call("FileEncodeBase64", { filePath: path });
  showImage(base64, pictureType(path));
}

// An empty recognition result: the picture may be missing rather than empty.
async function explainEmptyRecognition(path, emptyKey) {
  const picture = await client.call("FileEncodeBase64", { filePath: path });
  if (picture === "") failed(t("empty.file", { path }));
  else showText(t(emptyKey));
}

// Card texts with only their separators: nothing was read.
const CARD_COMMANDS = new Set(["ReadSBKCaard", "ReadBankCard", "ReadMagneticCard", "iReadICCardNum"]);
const nothingRead = (text) => typeof text === "string" && /^\|*$/.test(text);

const actions = {
  reconnect: () => connect(),
  // Connecting anew makes this page the newest one, which the preview is pushed to.
  takeBack: () => connect(),
  language: () => {
    language = 1 - language;
    localStorage.setItem("lenvaro-demo-language", language === 0 ? "zh" : "en");
    applyLanguage();
  },
  openCamera,
  closeCamera,
  applySettings: async () => {
    await run("camSetImageRotateMode", { rotateMode: intValue("rotateMode") });
    await run("camSetImageAutoCrop", { CropType: intValue("cropType") });
  },
  applyCustomCrop: () => run("camSetImageCusCropRect", {
    left: intValue("cropLeft"), top: intValue("cropTop"), right: intValue("cropRight"), bottom: intValue("cropBottom"),
  }),
  captureFile: async () => {
    const path = value("capturePath");
    if (await run("camCaptureImageFile", { filePath: path }) !== "0") return;
    await showWrittenPicture(path);
    showText(t("capture.saved", { path }));
  },
  captureBase64: async () => {
    const base64 = await run("CaptureEncodeBase64");
    if (!base64) {
      failed(t("empty.capture"));
      return;
    }
    showImage(base64);
    showText(`CaptureEncodeBase64: ${t("capture.base64Length", { n: base64.length })}`);
  },
  fileBase64: async () => {
    const path = value("capturePath");
    const base64 = await run("FileEncodeBase64", { filePath: path });
    if (!base64) failed(t("empty.file", { path }));
    else showImage(base64, pictureType(path));
  },
  autoStart: async () => {
    Object.assign(autoCapture, { events: 0, files: [], armedEventSeen: false });
    const status = await run("camStartAutoCapture", { type: intValue("autoType"), param: AUTO_CAPTURE_PARAM, filePath: value("autoPath") });
    autoCapture.running = status === "0";
    renderAutoCapture();
  },
  autoStop: async () => {
    await run("camStopAutoCapture");
    autoCapture.running = false;
    renderAutoCapture();
  },
  recordStart: async () => {
    const status = await run("camStartRecord", {
      micphone: Number.parseInt(value("recordAudio"), 10),  // -1: no sound
      videoFormat: intValue("recordFormat"),
      filePath: value("recordPath"),
    });
    if (status === "0") showRecording({ seconds: 0 });
  },
  recordStop: async () => {
    const status = await run("camStopRecord");
    showRecording(null);
    if (status === "0") showText(t("record.saved", { path: value("recordPath") }));
  },
  pdfAdd: async () => {
    try {
      await run("camAddFileToPDFList", { filePath: value("pdfImage") });
    } finally {
      await syncWithService({ pickers: false });
    }
  },
  pdfCombine: async () => {
    const path = value("pdfPath");
    try {
      const status = await run("camCombinePDF", { filePath: path, JpegQuality: intValue("pdfQuality") });
      if (status === null) failed(t("pdf.notCombined"));
      else if (status === "0") showText(t("written", { path }));
    } finally {
      await syncWithService({ pickers: false });
    }
  },
  combineImage: async () => {
    const output = value("combineOutput");
    const status = await run("camCombineImage", {
      filePath1: value("combineFirst"), filePath2: value("combineSecond"), PdfPath: output,
      Type: intValue("combineType"), offsetX: intValue("combineOffsetX"), offsetY: intValue("combineOffsetY"),
    });
    if (status !== "0") return;
    if (output.toLowerCase().endsWith(".pdf")) showText(t("written", { path: output }));
    else await showWrittenPicture(output);
  },
  readIdCard: async () => showIdCard(await run("idcardrfidReadIDCard", { HeadPath: value("headPath") })),
  readIdCardEx: async () => showIdCard(await run("idcardrfidReadIDCardEx", { HeadPath: value("headPath") })),
  collect1: () => run("CollectFingerFeature", { number: 1 }),
  collect2: () => run("CollectFingerFeature", { number: 2 }),
  getFingerprint: async () => {
    const [image, feature] = splitMarkerFields(await run("GetFingerprint", {
      bmpPath: inFolder("lenvaro-finger.bmp"), FeaturePath: inFolder("lenvaro-finger.dat"),
    }));
    if (!image) {
      failed(t("empty.fingerprint"));
      return;
    }
    showImage(image, "image/bmp");
    showText(`image: ${image.length} chars, feature: ${feature?.length ?? 0} chars`);
  },
  faceByFile: () => run("camMatchFaceByFile", { filePath1: value("faceFile1"), filePath2: value("faceFile2") }),
  faceByVideo: () => run("camMatchFaceByFileVideo", { filePath: value("faceFile1"), ldelayTime: intValue("faceDelay") }),
  faceBackground: async () => {
    // The person's face as Base64: the first picture, read through the service.
    const path = value("faceFile1");
    const personFace = String(await run("FileEncodeBase64", { filePath: path })).replace(/\r\n/g, "");
    if (!personFace) {
      failed(t("empty.file", { path }));
      return;
    }
    $("faceBackgroundResult").value = "…";
    const score = await run("camStartAsyMatchFaceBase64Video", { personFace, ldelayTime: intValue("faceDelay"), score: intValue("faceScore") });
    $("faceBackgroundResult").value = String(score);
  },
  barcode: async () => {
    const path = value("recImage");
    if (await run("coderRecognizeBarcode", { filePath: path }) === "") await explainEmptyRecognition(path, "empty.barcode");
  },
  ocrText: async () => {
    const path = value("recImage");
    const text = await run("ocrCombineSingleToString", { strImagePath: path, language: intValue("ocrLanguage") });
    if (text === "") await explainEmptyRecognition(path, "empty.text");
  },
  templateInfo: () => run("otrGetTemplateInfo ", { index: intValue("templateIndex") }),
  templateRecog: async () => {
    const text = await run("OtrRecog ", { index: intValue("templateIndex"), strimagePath: value("recImage") });
    try {
      showText(JSON.parse(text));
    } catch (_) {
      // shown as it came
    }
  },
  signStart: () => run("StartSignDevice", signArguments()),
  // Only readying the pad again starts a blank signature; BeginSignMode would go on drawing
  // over the old one.
  signAgain: () => run("StartSignDevice", signArguments()),
  signImage: async () => {
    const base64 = await run("XoOutputImageBase64", { filePath: value("signPath") });
    if (!base64) failed(t("empty.signature"));
    else showImage(base64, pictureType(value("signPath")));
  },
  listFiles: () => listFolder(),
  uploadHttp: async () => {
    const answer = await run("camUpdataFileHttp", { filePath: value("uploadFile"), url: value("uploadUrl"), param: value("uploadParam") });
    // The service answers what the server said, or nothing when no server answered.
    if (answer === "") failed(t("empty.upload"));
    else showText(t("files.answer", { answer: typeof answer === "string" ? answer : JSON.stringify(answer) }));
  },
  uploadFtp: () => run("camUpdataFileFtp", {
    strfilePath: value("uploadFile"), strftpPath: value("ftpPath"), struserName: value("ftpUser"),
    struserPsd: value("ftpPassword"), iPort: 0, strtargetName: "",
  }),
  consoleSend: () => {
    let args;
    try {
      args = JSON.parse(value("consoleArgs") || "{}");
    } catch (error) {
      failed(t("error.json", { message: error.message }));
      return undefined;
    }
    return run(value("consoleName"), args);
  },
};

// The folder's files, each with a button that deletes it.
async function listFolder() {
  const files = splitListing(await run("getFolderDayFileA", { Dictpry: value("listFolder") }));
  const items = files.map((file) => {
    const item = document.createElement("li");
    const remove = Object.assign(document.createElement("button"), { textContent: t("files.delete"), className: "small" });
    remove.dataset.i18n = "files.delete";
    remove.addEventListener("click", () => whileBusy(remove, async () => {
      clearResult();
      const path = tidyPath(file);
      if (await run("camDeleteFile", { FilePath: path }) === "0") {
        item.remove();
        showText(t("files.deleted", { path }));
      }
    }));
    item.append(Object.assign(document.createElement("span"), { textContent: tidyPath(file) }), remove);
    return item;
  });
  $("fileList").replaceChildren(...items);
  showText(files.length === 0 ? t("files.none") : t("files.count", { folder: value("listFolder"), n: files.length }));
}

function showIdCard(text) {
  if (nothingRead(text)) {
    $("idCardFields").replaceChildren();
    failed(t("empty.card"));
    return;
  }
  const fields = String(text ?? "").split("|");
  const rows = fields.map((field, index) => {
    const row = document.createElement("tr");
    const label = Object.assign(document.createElement("td"), { textContent: t(`id.${index}`) });
    label.dataset.i18n = `id.${index}`;
    const content = document.createElement("td");
    if (index === 9 && field) {
      const photo = Object.assign(document.createElement("img"), { src: toDataUrl(field), height: 60 });
      content.append(photo);
    } else {
      content.textContent = field;
    }
    row.append(label, content);
    return row;
  });
  $("idCardFields").replaceChildren(...rows);
}

async function loadRecognitionLists() {
  fillSelect("ocrLanguage", listOf(await client.call("ocrGetLanguageName")));
  const count = Number(await client.call("otrGetTemplateCount ")) || 0;
  const names = [];
  for (let index = 0; index < count; index += 1) {
    // The template object text: {"TemplateName":"..."} (an error object when the index is unknown).
    const info = await client.call("otrGetTemplateInfo ", { index });
    let name = `#${index}`;
    try {
      name = JSON.parse(info).TemplateName || name;
    } catch (_) {
      // the index stands for it
    }
    names.push(name);
  }
  fillSelect("templateIndex", names);
}

const COMMAND_NAMES = [
  "camGetDevCount", "camGetDevName", "camGetResolution", "camGetMediaTypeName", "camGetCurResolution",
  "camSetImageDPI", "camSetImageJPGQuanlity", "camSetImageAdjust", "camSetImageColorStyle", "camCombineImage",
  "camCaptureBook", "camStartRecord", "camStopRecord", "camGetAudioDevName", "camGetVideoEncodeName",
  "idcardrfidGetIDCardImage", "idcardrfidGetOneFingerprintMsg", "iReadIdentityCard", "iReadCardBas", "iVerifyPIN",
  "ContrastFingerprint", "ContrastFingerprintBase64", "camMatchFaceByBase64", "camSetLivingBodyState",
  "ocrRecognizeBarcode", "ocrGetBarcodeText", "ocrAddImageFileToOCRList", "ocrCombineToFile", "coderNameByBarcode",
  "signOutPutFile", "DeleteFolderDayFileA", "camDeleteFile",
];

// Every path field follows the work folder: data-file names the file in it ("" the folder).
function fillPaths() {
  for (const input of document.querySelectorAll("input[data-file]")) input.value = inFolder(input.dataset.file);
}

function applyLanguage() {
  document.documentElement.lang = language === 0 ? "zh-CN" : "en";
  document.title = t("title");
  for (const element of document.querySelectorAll("[data-i18n]")) {
    if (element.id !== "previewMessage") element.textContent = t(element.dataset.i18n);
  }
  $("language").textContent = language === 0 ? "English" : "中文";
  setConnectionState(connectionState);
  renderServiceState();
  renderNotice();
  setPreviewState(previewState);
  renderRecording();
  renderAutoCapture();
  renderPdfList();
}

// A button stays disabled while its action runs: a double click sends one command.
async function whileBusy(button, action) {
  if (button.disabled) return;
  button.disabled = true;
  try {
    await action();
  } catch (_) {
    // run() has shown and logged it
  } finally {
    button.disabled = false;
  }
}

// Buttons whose action may run again at once: they only switch the page or its connection.
const NEVER_BUSY = new Set(["language", "reconnect", "takeBack"]);

function wire() {
  for (const [id, action] of Object.entries(actions)) {
    const button = $(id);
    if (NEVER_BUSY.has(id)) {
      button.addEventListener("click", () => Promise.resolve(action()).catch(() => {}));
      continue;
    }
    button.addEventListener("click", () => whileBusy(button, () => {
      clearResult();
      return action();
    }));
  }
  for (const button of document.querySelectorAll("button[data-command]")) {
    const name = button.dataset.command;
    button.addEventListener("click", () => whileBusy(button, async () => {
      clearResult();
      const result = await run(name);
      if (CARD_COMMANDS.has(name) && nothingRead(result)) failed(t("empty.card"));
    }));
  }
  for (const tab of document.querySelectorAll("#tabs button")) {
    tab.addEventListener("click", () => {
      for (const other of document.querySelectorAll("#tabs button")) other.classList.toggle("active", other === tab);
      for (const panel of document.querySelectorAll(".tab")) panel.classList.toggle("active", panel.id === `tab-${tab.dataset.tab}`);
    });
  }
  $("device").addEventListener("change", () => showFormatsOfPickedDevice().catch(report));
  $("mediaType").addEventListener("change", () => changeMediaType().catch(report));
  $("resolution").addEventListener("change", () => changeResolution().catch(report));
  $("previewWidth").addEventListener("change", () => run("PreZoneSize", { width: intValue("previewWidth") }).catch(() => {}));
  for (const id of ["cropLeft", "cropTop", "cropRight", "cropBottom"]) {
    $(id).addEventListener("input", () => {
      cropBoxEdited = true;
    });
  }
  $("commandNames").replaceChildren(...COMMAND_NAMES.map((name) => new Option(name)));
  $("workFolder").addEventListener("change", fillPaths);
  // Another tab may have changed the service's state meanwhile.
  document.addEventListener("visibilitychange", () => {
    if (document.visibilityState === "visible" && client?.connected && listsLoaded) syncWithService().catch(report);
  });
}

// Which service to talk to: ?service=ws://host:port/ when given; the service that served the
// page when it came from this computer; else the default address.
function serviceAddress() {
  const given = new URLSearchParams(location.search).get("service");
  if (given) return given;
  const servedHere = location.protocol === "http:" && ["127.", "localhost", "[::1]"].some((start) => location.hostname.startsWith(start));
  return servedHere ? `ws://${location.host}/` : "ws://127.0.0.1:9000/";
}

$("serviceUrl").value = serviceAddress();
fillPaths();
wire();
applyLanguage();
watchPreview();
connect();
// For the page's own tests and for debugging from the console.
window.lenvaroDemo = {
  get client() { return client; },
  get preview() { return preview; },
  get camera() { return { ...camera }; },
  get previewState() { return previewState; },
  get status() { return lastStatus; },
  get autoCapture() { return { ...autoCapture, files: [...autoCapture.files] }; },
};
