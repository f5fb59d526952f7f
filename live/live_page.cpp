// The live page: one tile per channel with its latest picture, whether
// pictures arrive and its open events, refreshed from /status.json every
// two seconds. Self-contained (no external script or style).
#include <nlohmann/json.hpp>

#include "live/metrics_server.h"
#include "live/status.h"

namespace lumaqc {

const std::string& livePage() {
    static const std::string page = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>lumaqc live</title>
<style>
body { font-family: sans-serif; background: #111; color: #eee; margin: 1em; }
#channels { display: flex; flex-wrap: wrap; gap: 1em; }
.channel { background: #222; border: 3px solid #2a2; padding: .5em; width: 340px; }
.channel.warning { border-color: #da2; }
.channel.error, .channel.lost { border-color: #d22; }
.channel img { width: 320px; background: #000; min-height: 180px; display: block; }
.name { font-weight: bold; font-size: 1.2em; }
.event { display: inline-block; margin: .2em; padding: .1em .4em; border-radius: .3em; }
.event.warning { background: #a80; }
.event.error { background: #b22; }
#updated { color: #888; font-size: .8em; }
</style>
</head>
<body>
<h1>lumaqc live</h1>
<div id="channels"></div>
<p id="updated"></p>
<script>
"use strict";
function tile(c) {
  const div = document.createElement("div");
  const worst = c.open_events.some(e => e.severity === "error") ? "error"
              : c.open_events.length ? "warning" : "";
  div.className = "channel " + worst + (c.receiving ? "" : " lost");
  const name = document.createElement("div");
  name.className = "name";
  name.textContent = c.channel || "lumaqc";
  div.appendChild(name);
  const img = document.createElement("img");
  img.alt = "latest picture";
  if (c.picture) img.src = c.picture;
  div.appendChild(img);
  const state = document.createElement("div");
  state.textContent = (c.receiving ? "receiving" : "no pictures") + ", " + c.frames +
                      " frames" +
                      (c.lag_seconds === null ? "" : ", " + c.lag_seconds.toFixed(1) + " s behind");
  div.appendChild(state);
  for (const e of c.open_events) {
    const span = document.createElement("span");
    span.className = "event " + e.severity;
    span.textContent = e.type;
    div.appendChild(span);
  }
  return div;
}
async function refresh() {
  try {
    const status = await (await fetch("status.json", {cache: "no-store"})).json();
    const list = document.getElementById("channels");
    list.replaceChildren(...status.channels.map(tile));
    document.getElementById("updated").textContent = "updated " + new Date().toISOString();
  } catch (e) {
    document.getElementById("updated").textContent = "no answer from lumaqc: " + e;
  }
}
refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
)html";
    return page;
}

std::string statusJson(const std::vector<ChannelStatus>& channels) {
    using Json = nlohmann::ordered_json;
    Json list = Json::array();
    for (const ChannelStatus& c : channels) {
        Json events = Json::array();
        for (const auto& [type, severity] : c.openEvents) {
            events.push_back(Json{{"type", type}, {"severity", severity}});
        }
        list.push_back(Json{{"channel", c.channel},
                            {"receiving", c.receiving},
                            {"frames", c.frames},
                            {"lag_seconds", c.lagSeconds},
                            {"open_events", events},
                            {"picture", c.picture ? encodeDataUri(*c.picture) : ""}});
    }
    return Json{{"channels", list}}.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace lumaqc
