// qp7730-emu --http in headless Chromium: the page shows the panel as it is, follows each
// refresh without being reloaded, outlines the last refreshed rectangle and names its
// mode. The picture on the screen is compared with the emulator's panel PNG, scaled.
// Usage: node panel_test.mjs QP7730_EMU QP7730 (run.sh installs playwright-core first).
import { chromium } from "playwright-core";
import { spawn, execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

const [emuBin, toolBin] = process.argv.slice(2);
const W = 1200, H = 900;  // larger than the page's room: the picture is shown scaled
const dir = fs.mkdtempSync(path.join(os.tmpdir(), "qp7730-browser-"));
const socket = path.join(dir, "emu.sock"), pngPath = path.join(dir, "panel.png");

// An 8-bit grey BMP of 4 x 3 blocks, each one grey of the 16 levels (k * 17 shows as it is).
const kGreys = [0, 17, 51, 85, 102, 119, 136, 153, 187, 221, 238, 255];
function writePicture(file) {
  const offset = 14 + 40 + 1024, size = offset + W * H;
  const b = Buffer.alloc(size);
  b.write("BM", 0, "ascii");
  b.writeUInt32LE(size, 2);
  b.writeUInt32LE(offset, 10);
  b.writeUInt32LE(40, 14);
  b.writeInt32LE(W, 18);
  b.writeInt32LE(H, 22);
  b.writeUInt16LE(1, 26);
  b.writeUInt16LE(8, 28);
  b.writeUInt32LE(256, 46);
  for (let i = 0; i < 256; ++i) b.fill(i, 54 + 4 * i, 57 + 4 * i);
  for (let y = 0; y < H; ++y) {
    const row = offset + (H - 1 - y) * W;  // bottom-up
    for (let x = 0; x < W; ++x) b[row + x] = kGreys[Math.floor(y / 300) * 4 + Math.floor(x / 300)];
  }
  fs.writeFileSync(file, b);
}

function startEmulator() {
  const emu = spawn(emuBin, ["--socket", socket, "--png", pngPath, "--http", "127.0.0.1:0", "--width", String(W),
                             "--height", String(H)], { stdio: ["ignore", "pipe", "pipe"] });
  let err = "";
  emu.stderr.on("data", (d) => { err += d; });
  return new Promise((ready, failed) => {
    let out = "";
    emu.stdout.on("data", (d) => {
      out += d;
      const url = /live panel on (\S+)\n/.exec(out);
      if (url && out.includes("listening on")) ready({ emu, url: url[1] });
    });
    emu.on("exit", (code) => failed(new Error(`qp7730-emu ended (${code}): ${out}${err}`)));
  });
}

function tool(...args) {
  return execFileSync(toolBin, args, { env: { ...process.env, QP7730_EMULATOR: socket }, encoding: "utf8" });
}

// Compares the screenshot of the picture (PNG bytes) with the panel PNG, in a page of
// its own that decodes both: every 3rd pixel of the panel whose neighbourhood is of one
// grey (so that the scaling's blending cannot touch it) must show that grey.
async function compareWithPanel(context, shot) {
  const page = await context.newPage();
  const result = await page.evaluate(async ([shotB64, panelB64]) => {
    async function pixels(b64) {
      const bytes = Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
      const bitmap = await createImageBitmap(new Blob([bytes], { type: "image/png" }));
      const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
      const g = canvas.getContext("2d");
      g.drawImage(bitmap, 0, 0);
      return { w: bitmap.width, h: bitmap.height, data: g.getImageData(0, 0, bitmap.width, bitmap.height).data };
    }
    const shot = await pixels(shotB64), panel = await pixels(panelB64);
    const sx = shot.w / panel.w, sy = shot.h / panel.h, r = Math.ceil(2 / Math.min(sx, sy)) + 1;
    const grey = (img, x, y) => img.data[4 * (y * img.w + x)];
    let checked = 0, wrong = 0, first = "";
    for (let y = r; y < panel.h - r; y += 3) {
      for (let x = r; x < panel.w - r; x += 3) {
        const v = grey(panel, x, y);
        if (grey(panel, x - r, y - r) !== v || grey(panel, x + r, y - r) !== v || grey(panel, x - r, y + r) !== v ||
            grey(panel, x + r, y + r) !== v) continue;
        ++checked;
        const i = 4 * (Math.floor((y + 0.5) * sy) * shot.w + Math.floor((x + 0.5) * sx));
        const off = Math.max(Math.abs(shot.data[i] - v), Math.abs(shot.data[i + 1] - v), Math.abs(shot.data[i + 2] - v));
        if (off > 6 && wrong++ === 0) first = `panel (${x}, ${y}) = ${v}, screen ${shot.data.slice(i, i + 3)}`;
      }
    }
    return { checked, wrong, first, size: [shot.w, shot.h, panel.w, panel.h] };
  }, [shot.toString("base64"), fs.readFileSync(pngPath).toString("base64")]);
  await page.close();
  return result;
}

const results = [];
async function check(name, body) {
  try {
    await body();
    results.push(true);
    console.log(`ok ${results.length} - ${name}`);
  } catch (e) {
    results.push(false);
    console.log(`not ok ${results.length} - ${name}\n  ${String(e.stack || e).split("\n").join("\n  ")}`);
  }
}
function expect(condition, what) {
  if (!condition) throw new Error(what);
}

let emu = null, context = null;
try {
  const started = await startEmulator();
  emu = started.emu;
  const url = started.url;
  context = await chromium.launchPersistentContext(fs.mkdtempSync(path.join(dir, "profile-")), {
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    viewport: { width: 800, height: 640 },
    deviceScaleFactor: 1,
  });
  const page = await context.newPage();
  const shown = (n) => page.waitForFunction((n) => document.body.dataset.refresh === String(n), n, { timeout: 20000 });
  // The outline's and the picture's boxes on the screen.
  const boxes = async () => ({ panel: await page.locator("#panel").boundingBox(),
                               outline: await page.locator("#outline").boundingBox() });
  const pictureShot = async () => {
    await page.locator("#outline").evaluate((o) => { o.style.visibility = "hidden"; });
    const shot = await page.locator("#panel").screenshot();
    await page.locator("#outline").evaluate((o) => { o.style.visibility = ""; });
    return shot;
  };
  const near = (a, b) => Math.abs(a - b) <= 2;

  await check("before any refresh: the white panel, nothing outlined", async () => {
    await page.goto(url);
    await shown(0);
    expect((await page.locator("#label").textContent()) === "no refresh yet", "label");
    expect(!(await page.locator("#outline").isVisible()), "an outline with no refresh");
    const c = await compareWithPanel(context, await pictureShot());
    expect(c.checked > 10000 && c.wrong === 0, `screen against panel PNG: ${JSON.stringify(c)}`);
  });

  await check("-load and -display in mode 2: the picture, scaled, all of it outlined, the mode named", async () => {
    const picture = path.join(dir, "blocks.bmp");
    writePicture(picture);
    tool("-load", picture);
    tool("-display", "-wait", "0", "0", String(W), String(H), "2");
    await shown(1);
    const label = await page.locator("#label").textContent();
    expect(label.includes("mode 2 (full, 16 levels)") && label.includes("0, 0, 1200 \u00d7 900"), `label: ${label}`);
    const b = await boxes();
    expect(b.panel.width < W, `the picture is not scaled: ${b.panel.width}`);
    expect(near(b.outline.x, b.panel.x) && near(b.outline.y, b.panel.y) && near(b.outline.width, b.panel.width) &&
           near(b.outline.height, b.panel.height), `outline ${JSON.stringify(b)}`);
    const c = await compareWithPanel(context, await pictureShot());
    expect(c.checked > 10000 && c.wrong === 0, `screen against panel PNG: ${JSON.stringify(c)}`);
  });

  await check("a 2-level refresh of a rectangle: the page follows, outline and mode with it", async () => {
    tool("-display", "-wait", "200", "300", "600", "300", "1");
    await shown(2);
    const label = await page.locator("#label").textContent();
    expect(label.includes("mode 1 (fast, 2 levels)") && label.includes("200, 300, 600 \u00d7 300"), `label: ${label}`);
    const b = await boxes(), s = b.panel.width / W;
    expect(near(b.outline.x, b.panel.x + 200 * s) && near(b.outline.y, b.panel.y + 300 * s) &&
           near(b.outline.width, 600 * s) && near(b.outline.height, 300 * s), `outline ${JSON.stringify(b)}`);
    const c = await compareWithPanel(context, await pictureShot());
    expect(c.checked > 10000 && c.wrong === 0, `screen against panel PNG: ${JSON.stringify(c)}`);
    const border = await page.locator("#outline").evaluate((o) => getComputedStyle(o).borderTopColor);
    expect(await page.locator("#outline").isVisible() && border === "rgb(255, 32, 32)", `outline: ${border}`);
  });

  await check("read-only: another method is refused, another path is not there", async () => {
    const post = await fetch(url, { method: "POST", body: "x" });
    expect(post.status === 405 && post.headers.get("allow") === "GET", `POST: ${post.status}`);
    const other = await fetch(new URL("../etc/passwd", url + "x/"));
    expect(other.status === 404, `another path: ${other.status}`);
  });
} catch (e) {
  results.push(false);
  console.log(`not ok - the browser test could not run: ${e.stack || e}`);
} finally {
  if (context) await context.close();
  if (emu) emu.kill("SIGTERM");
  fs.rmSync(dir, { recursive: true, force: true });
}

const passed = results.filter(Boolean).length;
console.log(`${passed} passed, ${results.length - passed} failed`);
process.exit(passed === results.length && results.length > 0 ? 0 : 1);
