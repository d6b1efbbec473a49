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
  "state.absent": ["服务未运行", "Service not running"],
  "state.blocked": ["浏览器已阻止", "Blocked by the browser"],
  "preview.idle": ["打开相机后在此显示实时画面", "Open a camera to see its live picture here"],
  "preview.starting": ["正在等待画面…", "Waiting for the picture…"],
  "preview.lost": ["连接已断开，画面已停止", "Connection lost: the picture has stopped"],
  "preview.reopen": ["已重新连接，正在等待画面；若画面未恢复，请重新打开相机", "Reconnected, waiting for the picture; if it does not come back, open the camera again"],
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
  apply: ["应用", "Apply"],
  "capture.capture": ["拍照", "Capture"],
  path: ["路径", "Path"],
  "capture.toFile": ["拍照存文件", "Capture to file"],
  "capture.base64": ["拍照 Base64", "Capture as Base64"],
  "capture.fileBase64": ["文件转 Base64", "File as Base64"],
  "auto.title": ["自动拍照", "Auto capture"],
  "auto.type": ["类型", "Type"],
  "auto.events": ["事件", "Events"],
  start: ["开始", "Start"],
  stop: ["停止", "Stop"],
  "pdf.title": ["合成 PDF", "PDF assembly"],
  "pdf.image": ["图片", "Picture"],
  "pdf.add": ["加入列表", "Add to list"],
  "pdf.list": ["列表", "List"],
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
  "console.title": ["发送任意命令", "Send any command"],
  "console.name": ["命令名 (FuncName)", "Command (FuncName)"],
  "console.args": ["参数 (argument, JSON)", "Arguments (argument, JSON)"],
  send: ["发送", "Send"],
  noReply: ["（无应答）", "(no reply)"],
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
  CompareFingerFeature: { "-100": "指纹槽为空：请先采集 1 和 2" },
  camOpenDev: {
    "-1": "相机忙（其他程序正在使用）或 USB 带宽不足",
    "-2": "相机不支持该格式或尺寸",
    "-5": "无法打开相机：运行服务的用户需要加入 video 组",
  },
};

let language = (localStorage.getItem("lenvaro-demo-language") ?? navigator.language ?? "zh").startsWith("zh") ? 0 : 1;
const t = (key) => (LABELS[key] ?? [key, key])[language];

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

function showText(text) {
  $("resultText").textContent = typeof text === "string" ? text : JSON.stringify(text, null, 1);
}

function showImage(base64, mimeType = "image/jpeg") {
  if (base64) $("resultImage").src = toDataUrl(base64, mimeType);
}

// Every action starts with an empty result, so an old picture never stands beside a new text.
function clearResult() {
  $("resultImage").removeAttribute("src");
  $("resultText").textContent = "";
}

// What a negative status means, in the page's language; null for results that are no status.
function statusMeaning(result, command) {
  const english = describeStatus(result, command);
  if (english === null || language === 1) return english;
  return COMMAND_STATUS_ZH[command]?.[result] ?? STATUS_ZH[result] ?? english;
}

// ---- Connection and the service's state ------------------------------------------------------
let client = null;
let preview = null;
let connectionState = "closed";      // open, closed, connecting, absent, blocked
let serviceState = { kind: "unknown" };  // found {name, version}, absent, blocked {reason}, unknown
let refusalReason = null;            // why the browser refuses, while it does
const pageId = Math.random().toString(36).slice(2);
// Other tabs of this page on the same service: a tab that connects takes the preview pushes.
const tabs = typeof BroadcastChannel === "function" ? new BroadcastChannel("lenvaro-demo") : null;

function setConnectionState(state) {
  connectionState = state;
  const badge = $("connectionState");
  badge.dataset.state = state;
  badge.textContent = t(`state.${state}`);
}

function renderServiceState() {
  const badge = $("serviceStatus");
  badge.dataset.state = serviceState.kind;
  badge.textContent = serviceState.kind === "found" ? `${serviceState.name} ${serviceState.version}`
    : serviceState.kind === "unknown" ? "…" : t(`state.${serviceState.kind}`);
}

function renderNotice() {
  const notice = $("notice");
  notice.hidden = refusalReason === null;
  notice.textContent = refusalReason === null ? "" : t(`refusal.${refusalReason}`);
}

function setRefusal(reason) {
  refusalReason = reason;
  renderNotice();
}

async function detectService() {
  const url = value("serviceUrl");
  let state;
  try {
    const status = await fetchStatus(url);
    state = status ? { kind: "found", name: status.name, version: status.version } : { kind: "absent" };
  } catch (error) {
    if (error?.code !== "BLOCKED") throw error;
    state = { kind: "blocked", reason: error.reason };
    setRefusal(error.reason);
  }
  if (url !== value("serviceUrl")) return;  // another address was chosen meanwhile
  serviceState = state;
  renderServiceState();
}

function connect() {
  if (client) client.close();
  preview?.stop();
  setRefusal(null);
  client = new LenvaroClient({ url: value("serviceUrl") });
  client.on("open", () => {
    setConnectionState("open");
    setRefusal(null);
    log("event", "open");
    otherPageNewer = false;
    tabs?.postMessage({ type: "connected", url: client.url, from: pageId });
    // The service may have been restarted meanwhile: the picture comes back only if its camera
    // is still open.
    if (camera.open !== null) setPreviewState("reopen");
    detectService().catch(report);
    loadLists().catch(report);
  });
  client.on("close", () => {
    setConnectionState("closed");
    log("event", "close");
    if (previewState !== "idle") setPreviewState("lost");
    detectService().catch(report);
  });
  client.on("unavailable", () => {
    setConnectionState("absent");
    setRefusal(null);
    serviceState = { kind: "absent" };
    renderServiceState();
  });
  client.on("blocked", ({ reason }) => {
    setConnectionState("blocked");
    setRefusal(reason);
    serviceState = { kind: "blocked", reason };
    renderServiceState();
    log("error", `blocked: ${reason}`);
  });
  client.on("reconnecting", ({ delayMs }) => {
    if (connectionState !== "absent" && connectionState !== "blocked") setConnectionState("connecting");
    log("event", `reconnect in ${delayMs} ms`);
  });
  client.on("reply", (reply) => log("in", reply.text));
  client.on("autoCapture", (event) => {
    $("autoEvents").value = String(Number($("autoEvents").value) + 1);
    log("event", `AutoCaptureBack ${event}`);
  });
  preview = showPreview(client, $("preview"), {
    onRender: (rendered) => {
      lastFrameAt = Date.now();
      if (previewState !== "live") setPreviewState("live");
      $("frameCount").value = String(rendered);
      $("droppedCount").value = String(preview?.dropped ?? 0);
      const image = $("preview");
      $("frameSize").value = `${image.naturalWidth}×${image.naturalHeight}`;
    },
  });
  setConnectionState("connecting");
  client.connect().catch(() => {});
}

// Sends one command, logs it, and shows its result with the meaning of a status;
// null/undefined results say "no reply".
async function run(name, args = {}, options = {}) {
  log("out", `${JSON.stringify(name)} ${forLog(args)}`);
  try {
    const result = await client.call(name, args, options);
    const meaning = statusMeaning(result, name);
    if (result === undefined || result === null) showText(`${name}: ${t("noReply")}`);
    else if (meaning) showText(`${result}: ${meaning}`);
    else showText(result);
    if (meaning) log("error", `${name} ${result}: ${meaning}`);
    return result;
  } catch (error) {
    report(error);
    throw error;
  }
}

function report(error) {
  log("error", String(error?.message ?? error));
  showText(String(error?.message ?? error));
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

function setPreviewState(state) {
  if (state !== previewState) previewStateSince = Date.now();
  previewState = state;
  $("previewBox").dataset.state = state;
  if (state === "idle") $("preview").removeAttribute("src");
  $("previewMessage").dataset.i18n = `preview.${state}`;
  $("previewMessage").textContent = state === "live" ? "" : t(`preview.${state}`);
  $("takeBack").hidden = !(state === "taken" || state === "stalled");
}

async function loadLists() {
  const names = listOf(await client.call("camGetDevName"));
  const picked = value("device");
  fillSelect("device", names);
  if (picked !== "" && Number(picked) < names.length) $("device").value = picked;
  await showFormatsOfPickedDevice();
  const audio = listOf(await client.call("camGetAudioDevName"));
  const noSound = new Option(t("record.noAudio"), "-1");
  noSound.dataset.i18n = "record.noAudio";
  $("recordAudio").replaceChildren(noSound, ...audio.map((name, index) => new Option(name, String(index))));
  fillSelect("recordFormat", listOf(await client.call("camGetVideoEncodeName")));
  await loadRecognitionLists();
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

// The picker shows what the camera really runs at.
async function pickCurrentResolution() {
  if (camera.open === null) return;
  const current = await client.call("camGetCurResolution");
  const option = [...$("resolution").options].find((item) => item.textContent === current);
  if (option) $("resolution").value = option.value;
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

async function closeCamera() {
  const device = camera.open ?? intValue("device");
  await run("camCloseDev", { devIndex: device });
  camera.open = null;
  setPreviewState("idle");
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

// ---- Actions ---------------------------------------------------------------------------------
const signArguments = () => ({
  left: 0, ntop: 0, right: 400, bottom: 200, BR: 255, BG: 255, BB: 255, BT: 0, R: 0, G: 0, B: 160, nBackNum: 0,
  filepath: value("signPath"), fileSignpath: value("signPath"),
});

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
  captureFile: () => run("camCaptureImageFile", { filePath: value("capturePath") }),
  captureBase64: async () => {
    const base64 = await run("CaptureEncodeBase64");
    showImage(base64);
    showText(`CaptureEncodeBase64: ${base64?.length ?? 0} Base64 characters`);
  },
  fileBase64: async () => {
    const base64 = await run("FileEncodeBase64", { filePath: value("capturePath") });
    showImage(base64, pictureType(value("capturePath")));
  },
  autoStart: () => {
    $("autoEvents").value = "0";
    return run("camStartAutoCapture", { type: intValue("autoType"), param: 1, filePath: value("autoPath") });
  },
  autoStop: () => run("camStopAutoCapture"),
  recordStart: () => run("camStartRecord", {
    micphone: Number.parseInt(value("recordAudio"), 10),  // -1: no sound
    videoFormat: intValue("recordFormat"),
    filePath: value("recordPath"),
  }),
  recordStop: () => run("camStopRecord"),
  pdfAdd: async () => {
    const status = await run("camAddFileToPDFList", { filePath: value("pdfImage") });
    const list = $("pdfList");
    if (status === "0") list.value = list.value === "-" ? value("pdfImage") : `${list.value}, ${value("pdfImage")}`;
  },
  pdfCombine: async () => {
    await run("camCombinePDF", { filePath: value("pdfPath"), JpegQuality: intValue("pdfQuality") });
    $("pdfList").value = "-";
  },
  combineImage: async () => {
    const output = value("combineOutput");
    const status = await run("camCombineImage", {
      filePath1: value("combineFirst"), filePath2: value("combineSecond"), PdfPath: output,
      Type: intValue("combineType"), offsetX: intValue("combineOffsetX"), offsetY: intValue("combineOffsetY"),
    });
    if (status !== "0" || output.toLowerCase().endsWith(".pdf")) return;
    const base64 = await client.call("FileEncodeBase64", { filePath: output });
    showImage(base64, pictureType(output));
  },
  readIdCard: async () => showIdCard(await run("idcardrfidReadIDCard", { HeadPath: value("headPath") })),
  readIdCardEx: async () => showIdCard(await run("idcardrfidReadIDCardEx", { HeadPath: value("headPath") })),
  collect1: () => run("CollectFingerFeature", { number: 1 }),
  collect2: () => run("CollectFingerFeature", { number: 2 }),
  getFingerprint: async () => {
    const [image, feature] = splitMarkerFields(await run("GetFingerprint", {
      bmpPath: inFolder("lenvaro-finger.bmp"), FeaturePath: inFolder("lenvaro-finger.dat"),
    }));
    showImage(image, "image/bmp");
    showText(`image: ${image?.length ?? 0} chars, feature: ${feature?.length ?? 0} chars`);
  },
  faceByFile: () => run("camMatchFaceByFile", { filePath1: value("faceFile1"), filePath2: value("faceFile2") }),
  faceByVideo: () => run("camMatchFaceByFileVideo", { filePath: value("faceFile1"), ldelayTime: intValue("faceDelay") }),
  faceBackground: async () => {
    // The person's face as Base64: the first picture, read through the service.
    const personFace = String(await run("FileEncodeBase64", { filePath: value("faceFile1") })).replace(/\r\n/g, "");
    $("faceBackgroundResult").value = "…";
    const score = await run("camStartAsyMatchFaceBase64Video", { personFace, ldelayTime: intValue("faceDelay"), score: intValue("faceScore") });
    $("faceBackgroundResult").value = String(score);
  },
  barcode: () => run("coderRecognizeBarcode", { filePath: value("recImage") }),
  ocrText: () => run("ocrCombineSingleToString", { strImagePath: value("recImage"), language: intValue("ocrLanguage") }),
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
  signImage: async () => showImage(await run("XoOutputImageBase64", { filePath: value("signPath") }), pictureType(value("signPath"))),
  listFiles: async () => {
    const files = splitListing(await run("getFolderDayFileA", { Dictpry: value("listFolder") }));
    $("fileList").replaceChildren(...files.map((file) => Object.assign(document.createElement("li"), { textContent: file })));
  },
  uploadHttp: () => run("camUpdataFileHttp", { filePath: value("uploadFile"), url: value("uploadUrl"), param: value("uploadParam") }),
  uploadFtp: () => run("camUpdataFileFtp", {
    strfilePath: value("uploadFile"), strftpPath: value("ftpPath"), struserName: value("ftpUser"),
    struserPsd: value("ftpPassword"), iPort: 0, strtargetName: "",
  }),
  consoleSend: () => {
    let args;
    try {
      args = JSON.parse(value("consoleArgs") || "{}");
    } catch (error) {
      report(error);
      return undefined;
    }
    return run(value("consoleName"), args);
  },
};

let lastIdCard = null;

function showIdCard(text) {
  lastIdCard = text;
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
}

function wire() {
  for (const [id, action] of Object.entries(actions)) {
    $(id).addEventListener("click", () => {
      if (id !== "language" && id !== "reconnect" && id !== "takeBack") clearResult();
      Promise.resolve(action()).catch(() => {});
    });
  }
  for (const button of document.querySelectorAll("button[data-command]")) {
    button.addEventListener("click", () => {
      clearResult();
      run(button.dataset.command).catch(() => {});
    });
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
  $("commandNames").replaceChildren(...COMMAND_NAMES.map((name) => new Option(name)));
  $("workFolder").addEventListener("change", fillPaths);
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
};
