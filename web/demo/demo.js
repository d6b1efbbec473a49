// The demo page: every device family of the service from one page, through the client library.
import { LenvaroClient, fetchStatus, showPreview, splitListing, splitMarkerFields, toDataUrl } from "./client/lenvaro-client.js";

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
  "preview.idle": ["打开相机后在此显示实时画面", "Open a camera to see its live picture here"],
  "preview.frames": ["帧数", "Frames"],
  "preview.dropped": ["丢弃", "Dropped"],
  "preview.size": ["尺寸", "Size"],
  "camera.device": ["设备", "Device"],
  "camera.mediaType": ["格式", "Media type"],
  "camera.resolution": ["分辨率", "Resolution"],
  "camera.open": ["打开相机", "Open camera"],
  "camera.close": ["关闭相机", "Close camera"],
  "camera.previewWidth": ["预览宽度", "Preview width"],
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
  "crop.auto": ["自动裁切", "Largest document"],
  "crop.box": ["框选", "Custom box"],
  "capture.customCrop": ["自定义裁切 (左 上 右 下)", "Custom crop (left top right bottom)"],
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
  "rec.ocr": ["识别文字", "Recognise text"],
  "rec.templates": ["模板", "Templates"],
  "rec.template": ["模板", "Template"],
  "rec.info": ["模板信息", "Template info"],
  "rec.recognize": ["按模板识别", "Recognise form"],
  "sign.title": ["签名板", "Signature pad"],
  "sign.output": ["签名文件", "Signature file"],
  "sign.start": ["开始签名", "Start signing"],
  "sign.begin": ["重新签名", "Sign again"],
  "sign.end": ["结束", "End"],
  "sign.image": ["取签名图像", "Get signature"],
  "files.listing": ["目录文件", "Folder listing"],
  "files.list": ["列出", "List"],
  "files.upload": ["上传", "Upload"],
  "files.fields": ["字段", "Fields"],
  "files.http": ["HTTP 上传", "HTTP upload"],
  "files.ftp": ["FTP 上传", "FTP upload"],
  "console.title": ["发送任意命令", "Send any command"],
  send: ["发送", "Send"],
  noReply: ["（无应答）", "(no reply)"],
  "id.0": ["姓名", "Name"], "id.1": ["性别", "Sex"], "id.2": ["民族", "Ethnicity"],
  "id.3": ["出生", "Birth date"], "id.4": ["住址", "Address"], "id.5": ["身份号码", "ID number"],
  "id.6": ["签发机关", "Issued by"], "id.7": ["有效期起", "Valid from"], "id.8": ["有效期止", "Valid until"],
  "id.9": ["照片", "Photo"],
};

let language = (localStorage.getItem("lenvaro-demo-language") ?? navigator.language ?? "zh").startsWith("zh") ? 0 : 1;
const t = (key) => (LABELS[key] ?? [key, key])[language];

function applyLanguage() {
  document.documentElement.lang = language === 0 ? "zh-CN" : "en";
  for (const element of document.querySelectorAll("[data-i18n]")) element.textContent = t(element.dataset.i18n);
  $("language").textContent = language === 0 ? "English" : "中文";
  setConnectionState(connectionState);
}

// ---- Small helpers ---------------------------------------------------------------------------
const $ = (id) => document.getElementById(id);
const value = (id) => $(id).value;
const intValue = (id) => Number.parseInt($(id).value, 10) || 0;
const inFolder = (name) => `${value("workFolder").replace(/\/+$/, "")}/${name}`;

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

// ---- Connection ------------------------------------------------------------------------------
let client = null;
let preview = null;
let connectionState = "closed";

function setConnectionState(state) {
  connectionState = state;
  const badge = $("connectionState");
  badge.dataset.state = state;
  badge.textContent = t(`state.${state}`);
}

async function detectService() {
  const status = await fetchStatus(value("serviceUrl"));
  const badge = $("serviceStatus");
  badge.dataset.state = status ? "found" : "absent";
  badge.textContent = status ? `${status.name} ${status.version}` : t("state.absent");
}

function connect() {
  if (client) client.close();
  preview?.stop();
  client = new LenvaroClient({ url: value("serviceUrl") });
  client.on("open", () => {
    setConnectionState("open");
    log("event", "open");
    loadDevices().catch(report);
    loadRecognitionLists().catch(report);
  });
  client.on("close", () => {
    setConnectionState("closed");
    log("event", "close");
  });
  client.on("unavailable", () => setConnectionState("absent"));
  client.on("reconnecting", ({ delayMs }) => {
    if (connectionState !== "absent") setConnectionState("connecting");
    log("event", `reconnect in ${delayMs} ms`);
  });
  client.on("reply", (reply) => log("in", reply.text));
  client.on("autoCapture", (event) => {
    $("autoEvents").value = String(Number($("autoEvents").value) + 1);
    log("event", `AutoCaptureBack ${event}`);
  });
  preview = showPreview(client, $("preview"), {
    onRender: (rendered) => {
      $("frameCount").value = String(rendered);
      $("droppedCount").value = String(preview?.dropped ?? 0);
      const image = $("preview");
      $("frameSize").value = `${image.naturalWidth}×${image.naturalHeight}`;
    },
  });
  setConnectionState("connecting");
  client.connect().catch(() => {});
  detectService();
}

// Sends one command, logs it, and shows its result; null/undefined results say "no reply".
async function run(name, args = {}, options = {}) {
  log("out", `${JSON.stringify(name)} ${JSON.stringify(args)}`);
  try {
    const result = await client.call(name, args, options);
    if (result === undefined || result === null) showText(`${name}: ${t("noReply")}`);
    else showText(result);
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

// ---- Camera ----------------------------------------------------------------------------------
async function loadDevices() {
  const names = await client.call("camGetDevName");
  fillSelect("device", (Array.isArray(names) ? names : []).filter((name) => name !== ""));
  await loadFormats();
}

async function loadFormats() {
  const mediaTypes = await client.call("camGetMediaTypeName");
  fillSelect("mediaType", Array.isArray(mediaTypes) ? mediaTypes.filter((name) => name !== "") : []);
  await loadResolutions();
}

async function loadResolutions() {
  const sizes = await client.call("camGetResolution");
  fillSelect("resolution", Array.isArray(sizes) ? sizes.filter((size) => size !== "") : []);
}

function selectedSize() {
  const option = $("resolution").selectedOptions[0];
  const [width, height] = (option?.textContent ?? "0*0").split("*").map(Number);
  return { width: width || 0, height: height || 0 };
}

async function openCamera() {
  const { width, height } = selectedSize();
  const status = await run("camOpenDev", { devIndex: intValue("device"), subtype: intValue("mediaType"), width, height });
  await client.call("PreZoneSize", { width: intValue("previewWidth") });
  if (status === "0") {
    // The lists now describe the opened camera; keep what was chosen where it still exists.
    const chosen = { media: $("mediaType").value, size: $("resolution").value };
    await loadFormats();
    $("mediaType").value = chosen.media;
    await loadResolutions();
    if ([...$("resolution").options].some((option) => option.value === chosen.size)) $("resolution").value = chosen.size;
  }
}

async function closeCamera() {
  await run("camCloseDev", { devIndex: intValue("device") });
  $("preview").removeAttribute("src");
}

// ---- Wiring ----------------------------------------------------------------------------------
const actions = {
  reconnect: () => connect(),
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
    showImage(base64, value("capturePath").toLowerCase().endsWith(".png") ? "image/png" : "image/jpeg");
  },
  autoStart: () => {
    $("autoEvents").value = "0";
    return run("camStartAutoCapture", { type: intValue("autoType"), param: 1, filePath: value("autoPath") });
  },
  autoStop: () => run("camStopAutoCapture"),
  pdfAdd: async () => {
    const status = await run("camAddFileToPDFList", { filePath: value("pdfImage") });
    const list = $("pdfList");
    if (status === "0") list.value = list.value === "-" ? value("pdfImage") : `${list.value}, ${value("pdfImage")}`;
  },
  pdfCombine: async () => {
    await run("camCombinePDF", { filePath: value("pdfPath"), JpegQuality: intValue("pdfQuality") });
    $("pdfList").value = "-";
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
  signStart: () => run("StartSignDevice", {
    left: 0, ntop: 0, right: 400, bottom: 200, BR: 255, BG: 255, BB: 255, BT: 0, R: 0, G: 0, B: 160, nBackNum: 0,
    filepath: value("signPath"), fileSignpath: value("signPath"),
  }),
  signImage: async () => showImage(await run("XoOutputImageBase64", { filePath: value("signPath") }),
    value("signPath").toLowerCase().endsWith(".png") ? "image/png" : "image/jpeg"),
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

function showIdCard(text) {
  const fields = String(text ?? "").split("|");
  const rows = fields.map((field, index) => {
    const row = document.createElement("tr");
    const label = Object.assign(document.createElement("td"), { textContent: t(`id.${index}`) });
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
  const languages = await client.call("ocrGetLanguageName");
  fillSelect("ocrLanguage", Array.isArray(languages) ? languages : []);
  const count = Number(await client.call("otrGetTemplateCount ")) || 0;
  const names = [];
  for (let index = 0; index < count; index += 1) {
    const info = await client.call("otrGetTemplateInfo ", { index });
    let name = `#${index}`;
    try {
      name = JSON.parse(info).name ?? JSON.parse(info).Name ?? name;
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

function wire() {
  for (const [id, action] of Object.entries(actions)) {
    $(id).addEventListener("click", () => Promise.resolve(action()).catch(() => {}));
  }
  for (const button of document.querySelectorAll("button[data-command]")) {
    button.addEventListener("click", () => run(button.dataset.command).catch(() => {}));
  }
  for (const tab of document.querySelectorAll("#tabs button")) {
    tab.addEventListener("click", () => {
      for (const other of document.querySelectorAll("#tabs button")) other.classList.toggle("active", other === tab);
      for (const panel of document.querySelectorAll(".tab")) panel.classList.toggle("active", panel.id === `tab-${tab.dataset.tab}`);
    });
  }
  $("mediaType").addEventListener("change", async () => {
    if ((await run("camSetMediaType", { iMediaIndex: intValue("mediaType") }).catch(() => "")) !== "0") return;
    await loadResolutions();
  });
  $("resolution").addEventListener("change", () => run("camSetResolution", { index: intValue("resolution") }).catch(() => {}));
  $("previewWidth").addEventListener("change", () => run("PreZoneSize", { width: intValue("previewWidth") }).catch(() => {}));
  $("commandNames").replaceChildren(...COMMAND_NAMES.map((name) => new Option(name)));
  $("workFolder").addEventListener("change", () => {
    $("capturePath").value = inFolder("lenvaro-capture.jpg");
    $("autoPath").value = inFolder("lenvaro-auto.jpg");
    $("headPath").value = inFolder("lenvaro-head.jpg");
    $("pdfPath").value = inFolder("lenvaro-document.pdf");
    $("signPath").value = inFolder("lenvaro-sign.png");
    $("listFolder").value = value("workFolder");
  });
}

// The page is served by the service itself: talk to the service that served it.
if (location.protocol === "http:" && location.host) $("serviceUrl").value = `ws://${location.host}/`;
wire();
applyLanguage();
connect();
// For the page's own tests and for debugging from the console.
window.lenvaroDemo = { get client() { return client; }, get preview() { return preview; } };
