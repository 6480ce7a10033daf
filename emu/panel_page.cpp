// The live panel's one page: the newest picture, fitted to the window, with the rectangle
// of the last refresh outlined and its mode named. Every event fetches the picture again;
// outline and label come with the picture (its X-Panel-State header), so they always
// belong to the picture shown. body's data-refresh is the refresh shown.
#include "emu/http_panel.h"

namespace emu {

const char kPanelPage[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>qp7730-emu: the panel</title>
<style>
  body { margin: 0; background: #3a3a3a; color: #f0f0f0; font: 14px/20px sans-serif; }
  #label { padding: 6px 10px; height: 20px; white-space: nowrap; overflow: hidden; }
  #frame { position: relative; display: inline-block; margin: 0 10px; line-height: 0; }
  #panel { display: block; background: #fff; max-width: calc(100vw - 20px); max-height: calc(100vh - 42px); }
  #outline { position: absolute; display: none; box-sizing: border-box; border: 2px solid #ff2020;
             pointer-events: none; }
</style>
</head>
<body data-refresh="">
<div id="label">connecting to qp7730-emu...</div>
<div id="frame"><img id="panel" alt="the panel"><div id="outline"></div></div>
<script>
"use strict";
const panel = document.getElementById("panel");
const outline = document.getElementById("outline");
const label = document.getElementById("label");
let wanted = false, busy = false, shownUrl = null;

function show(s) {
  if (s.refresh === 0) {
    outline.style.display = "none";
    label.textContent = "no refresh yet";
  } else {
    outline.style.left = (100 * s.x / s.panelWidth) + "%";
    outline.style.top = (100 * s.y / s.panelHeight) + "%";
    outline.style.width = (100 * s.width / s.panelWidth) + "%";
    outline.style.height = (100 * s.height / s.panelHeight) + "%";
    outline.style.display = "block";
    const levels = s.levels ? s.levels + " levels" : "to white";
    label.textContent = "refresh " + s.refresh + ": mode " + s.mode + " (" + s.name + ", " + levels + ") at " +
                        s.x + ", " + s.y + ", " + s.width + " \u00d7 " + s.height;
  }
  document.body.dataset.refresh = String(s.refresh);
}

async function pull() {
  if (busy) return;
  busy = true;
  try {
    while (wanted) {
      wanted = false;
      const answer = await fetch("panel.png", { cache: "no-store" });
      if (!answer.ok) throw new Error(answer.status + " " + answer.statusText);
      const state = JSON.parse(answer.headers.get("X-Panel-State"));
      const url = URL.createObjectURL(await answer.blob());
      await new Promise((loaded, failed) => { panel.onload = loaded; panel.onerror = failed; panel.src = url; });
      if (shownUrl) URL.revokeObjectURL(shownUrl);
      shownUrl = url;
      show(state);
    }
  } catch (e) {
    label.textContent = "cannot show the panel: " + e;
  }
  busy = false;
}

const events = new EventSource("events");
events.onmessage = () => { wanted = true; pull(); };
events.onerror = () => { label.textContent = "qp7730-emu does not answer; trying again"; };
</script>
</body>
</html>
)";

}  // namespace emu
