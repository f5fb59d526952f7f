// Opens lumaqc's HTML reports in headless Chromium and checks that every
// chart rendered one point per frame with the JSON document's values, that
// hovering shows a frame's values on every chart, that zooming one chart
// zooms them all, that the page loaded nothing from the network and logged
// no error, and that under a QC profile a defective clip made by ffmpeg
// shows its decision: the verdict banner, the events table (a click zooms
// every chart to the event), the events timeline, the threshold lines and
// the thumbnails, errors first in a red tone with a severity filter and
// charts over time; a one-hour run makes a page under 3 MB.
//
//   node report_test.mjs LUMAQC_BINARY TESTCARD_BINARY
import { spawnSync } from "node:child_process";
import { readFileSync, statSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

import { cardDir, Checks, chromiumPath, importPackage, run, skipUnlessCi } from "./support.mjs";

const [lumaqc, testcard] = process.argv.slice(2);
const chromium = chromiumPath();
if (!chromium) skipUnlessCi("chromium is not installed");
const { chromium: launcher } = await importPackage("playwright-core");

const dir = cardDir(testcard);
const t = new Checks();
for (const [name, frames] of [["card", []], ["empty", ["25", "0"]]])
    run(lumaqc, ["card.yuv", "352", "288", ...frames, "--quiet", "--no-log", "--json", `${name}.json`, "--report", `${name}.html`], dir);
// A testsrc2 clip with a black stretch (frames 25-79) and a held picture
// (frames 105-159), x264 CRF 20, judged by the default profile: it fails.
const DEFECTS =
    "split[a][b];[a][b]freezeframes=first=106:last=159:replace=105," +
    "drawbox=c=black:t=fill:enable='between(n,25,79)'";
run("ffmpeg", ["-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=7",
    "-vf", DEFECTS, "-c:v", "libx264", "-crf", "20", "-pix_fmt", "yuv420p", "defects.mp4"], dir);
const judged = spawnSync(lumaqc, ["defects.mp4", "--profile", "default", "--quiet", "--no-log",
    "--json", "defects.json", "--report", "defects.html"], { cwd: dir, encoding: "utf8" });
t.equal("defective clip: status 1 (fail)", judged.status, 1);
// The same clip as raw yuv420p, its black stretch counted: the chroma colours the thumbnails too.
run("ffmpeg", ["-v", "error", "-y", "-i", "defects.mp4", "-f", "rawvideo", "defects.yuv"], dir);
writeFileSync(join(dir, "counted.toml"), 'name = "counted"\n[[rule]]\nid = "held"\nevent = "freeze"\nmin_duration = 2.0\nseverity = "error"\n' +
    '[[rule]]\nid = "dark"\nevent = "black"\nmin_duration = 0.5\nmax_count = 0\nseverity = "warning"\n');
spawnSync(lumaqc, ["defects.yuv", "320", "240", "--profile", "counted.toml", "--quiet", "--no-log", "--report", "raw.html"], { cwd: dir });
// One hour at 25 fps of noisy 32x24 grey pictures through a pipe.
run("sh", ["-c", "ffmpeg -v error -f lavfi -i testsrc2=size=32x24:rate=25:duration=3600,noise=alls=30:allf=t " +
    `-f rawvideo -pix_fmt gray - | "${lumaqc}" - 32 24 25 --pix-fmt gray --profile default --quiet --no-log --report long.html >/dev/null`], dir);

// How many of a page's thumbnails show colour (a pixel whose channels differ by more than 40).
const colourful = (page) => page.evaluate(async () => {
    const images = [...document.querySelectorAll("img.thumb")];
    await Promise.all(images.map((i) => i.decode().catch(() => {})));
    return images.filter((i) => {
        const g = Object.assign(document.createElement("canvas"), { width: i.naturalWidth, height: i.naturalHeight }).getContext("2d");
        g.drawImage(i, 0, 0);
        const d = g.getImageData(0, 0, i.naturalWidth, i.naturalHeight).data;
        return d.some((_, k) => k % 4 === 0 && Math.max(d[k], d[k + 1], d[k + 2]) - Math.min(d[k], d[k + 1], d[k + 2]) > 40);
    }).length;
});

const browser = await launcher.launch({
    executablePath: chromium,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking", "--disable-component-update"],
});

// Loads a report; records console errors, page errors and any request that
// would leave the file (the report must work offline).
async function openReport(name) {
    const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
    const page = await context.newPage();
    const problems = [];
    page.on("console", (m) => m.type() === "error" && problems.push(`console error: ${m.text()}`));
    page.on("pageerror", (e) => problems.push(`page error: ${e.message}`));
    await context.route("**/*", (route) => {
        if (route.request().url().startsWith("file:")) return route.continue();
        problems.push(`network request: ${route.request().url()}`);
        return route.abort();
    });
    await page.goto(pathToFileURL(join(dir, name)).href, { waitUntil: "load" });
    await page.waitForFunction(() => window.lumaqcReport && window.lumaqcReport.ready, null, { timeout: 60000 });
    return { context, page, problems };
}

// Per chart: its indicator, its data, the current x range, and how many
// pixels of the series colour it drew (a few beyond the plotting area: a
// constant series at the bottom of its range is drawn on the edge).
const chartFacts = (page) =>
    page.evaluate(() =>
        window.lumaqcReport.charts.map((u) => {
            const { left, top, width, height } = u.bbox;
            const pixels = u.ctx.getImageData(left, top - 3, width, height + 6).data;
            const rgb = [1, 3, 5].map((i) => parseInt(u.series[1].stroke().slice(i, i + 2), 16));
            let ink = 0;
            for (let i = 0; i < pixels.length; i += 4)
                if (pixels[i + 3] > 160 && rgb.every((c, k) => Math.abs(pixels[i + k] - c) < 48)) ink++;
            const data = { frames: Array.from(u.data[0]), values: Array.from(u.data[1]) };
            return { key: u.root.parentElement.dataset.key, ...data, range: [u.scales.x.min, u.scales.x.max], ink };
        }),
    );

// The point at frame `frame` (or the middle) of chart `index`, scrolled into view.
const pointOf = (page, index, frame) =>
    page.evaluate(([index, frame]) => {
        const u = window.lumaqcReport.charts[index];
        u.root.scrollIntoView({ block: "center" });
        const rect = u.over.getBoundingClientRect();
        return { x: rect.left + (frame === null ? rect.width / 2 : u.valToPos(frame, "x")), y: rect.top + rect.height / 2 };
    }, [index, frame]);

// --- The test card: values, hover, zoom, tables. ---
{
    const doc = JSON.parse(readFileSync(join(dir, "card.json"), "utf8"));
    const { context, page, problems } = await openReport("card.html");
    const decimals = await page.evaluate(() => JSON.parse(document.getElementById("lumaqc-data").textContent).series.map((s) => s.decimals));
    const facts = await chartFacts(page);
    t.equal("one chart per indicator, in column order", facts.map((f) => f.key), doc.indicators.map((i) => i.key));
    facts.forEach((f, c) => {
        t.equal(`${f.key}: one point per frame`, f.frames, doc.frames.map((frame) => frame.frame));
        t.check(`${f.key}: drawn`, f.ink > 0, `${f.ink} pixels of its colour`);
        // Every value the chart holds is the document's, to the log's digits.
        const wrong = doc.frames.filter((frame, i) => {
            const [expected, shown] = [frame[f.key], f.values[i]];
            return expected === null || shown === null ? expected !== shown : Math.abs(expected - shown) > 0.5 * 10 ** -decimals[c] + 1e-9;
        });
        t.check(`${f.key}: values`, wrong.length === 0, `frames ${wrong.map((w) => w.frame).slice(0, 5)}`);
    });

    // Hover over frame 110 of the blackout chart: every legend shows frame 110's value.
    const hover = await pointOf(page, doc.indicators.findIndex((i) => i.key === "blackout"), 110);
    await page.mouse.move(hover.x, hover.y);
    await page.waitForTimeout(100);
    const legends = await page.evaluate(() =>
        window.lumaqcReport.charts.map((u) => [...u.root.querySelectorAll(".u-legend .u-value")].map((e) => e.textContent)),
    );
    doc.indicators.forEach(({ key }, c) => {
        const v = doc.frames[110][key];
        const expected = v === null ? "–" : v.toFixed(decimals[c]);
        t.check(`hover legend of ${key}`, legends[c][0].startsWith("110 (") && legends[c][1] === expected, `${legends[c]}, expected ${expected}`);
    });

    // Drag across frames 20..40 of the first chart: all charts show that range;
    // a double-click on another brings every frame back.
    const [from, to] = [await pointOf(page, 0, 20), await pointOf(page, 0, 40)];
    await page.mouse.move(from.x, from.y);
    await page.mouse.down();
    await page.mouse.move(to.x, to.y, { steps: 8 });
    await page.mouse.up();
    await page.waitForTimeout(100);
    let ranges = (await chartFacts(page)).map((f) => f.range);
    t.check("zoom reaches every chart", ranges.every(([a, b]) => a === ranges[0][0] && b === ranges[0][1] && Math.abs(a - 20) < 1 && Math.abs(b - 40) < 1), JSON.stringify(ranges[0]));
    const other = await pointOf(page, 7, null);
    await page.mouse.dblclick(other.x, other.y);
    await page.waitForTimeout(100);
    ranges = (await chartFacts(page)).map((f) => f.range);
    t.check("double-click shows all frames on every chart", ranges.every(([a, b]) => a === 0 && b === 136), JSON.stringify(ranges));

    const tables = await page.evaluate(() =>
        ["lumaqc-summary", "lumaqc-frozen", "lumaqc-blackouts"].map((id) => [...document.querySelectorAll(`#${id} tbody tr`)].map((tr) => [...tr.cells].map((c) => c.textContent))),
    );
    t.equal("summary rows", tables[0].map((r) => r[0]), doc.indicators.map((i) => i.name));
    t.equal("frozen interval rows", tables[1], [["117", "128", "12", "4.680", "0.480"]]);
    t.equal("blackout interval rows", tables[2], [["105", "116", "12", "4.200", "0.480"]]);
    t.equal("test card: no error and no network request", problems, []);
    await context.close();
}

// --- No frame at all: empty charts, still no error. ---
{
    const { context, page, problems } = await openReport("empty.html");
    t.equal("no frame: fifteen empty charts", (await chartFacts(page)).map((f) => f.frames.length), Array(15).fill(0));
    t.equal("no frame: no error and no network request", problems, []);
    await context.close();
}

// --- Under a profile: the decision on a defective clip. ---
{
    const doc = JSON.parse(readFileSync(join(dir, "defects.json"), "utf8"));
    const { context, page, problems } = await openReport("defects.html");
    // The charts as on the test card (their keys: the hints and threshold lines below).
    for (const f of await chartFacts(page))
        t.check(`defective clip ${f.key}: one point per frame, drawn when it has values`,
            f.frames.length === doc.frames.length && (f.ink > 0) === (doc.summary.stats[f.key].count > 0), `${f.frames.length} points, ${f.ink} pixels`);

    const banner = await page.evaluate(() => {
        const b = document.getElementById("lumaqc-verdict");
        return { classes: b.className, text: b.textContent, top: b.getBoundingClientRect().top };
    });
    t.check("banner: fail, counts, profile", banner.classes.includes("fail") &&
        banner.text.includes("FAIL") && banner.text.includes(`${doc.verdict.errors} error`) &&
        banner.text.includes(`${doc.verdict.warnings} warning`) && banner.text.includes("profile default"),
        JSON.stringify(banner));
    t.check("banner: at the top of the page", banner.top < 200, `${banner.top} px`);

    // One row per event of the document, in order, with its type, severity and frames.
    const rows = await page.evaluate(() =>
        [...document.querySelectorAll("#lumaqc-events tbody tr")].map((tr) => ({
            cells: [...tr.cells].map((c) => c.textContent),
            first: Number(tr.dataset.first),
            last: Number(tr.dataset.last),
        })));
    const rank = { error: 0, warning: 1, info: 2 };
    const sorted = [...doc.events].sort((a, b) => rank[a.severity] - rank[b.severity] || a.first_frame - b.first_frame);
    t.equal("events table: the document's events, errors first then by time",
        rows.map((r) => [r.cells[1], r.cells[2], r.first, r.last, r.cells[6]]),
        sorted.map((e) => [e.type, e.severity, e.first_frame, e.last_frame, e.start_timecode]));
    const look = await page.evaluate(async () => {
        const shown = () => [...document.querySelectorAll("#lumaqc-events tbody tr")].filter((r) => !r.hidden).map((r) => r.cells[2].textContent);
        const box = document.querySelector("#lumaqc-severity input[value=warning]");
        box.click();
        const filtered = shown();
        box.click();
        const u = window.lumaqcReport.charts[0];
        return { filtered, all: shown().length, ticks: u.axes[0]._values,
            error: getComputedStyle(document.querySelector("#lumaqc-events tr.error")).backgroundColor };
    });
    t.check("severity filter: warnings hidden, then shown", look.filtered.length > 0 && look.filtered.every((s) => s === "error") && look.all === rows.length, JSON.stringify(look));
    const [r, g] = look.error.match(/\d+/g).map(Number);
    t.check("error rows in a red tone", r > g + 20, look.error);
    t.check("time axis: ticks in seconds", look.ticks.length > 2 && look.ticks.every((v) => / s$/.test(v)), JSON.stringify(look.ticks));
    t.check("events table: a black and a freeze error", ["black", "freeze"].every((type) => rows.some((r) => r.cells[1] === type && r.cells[2] === "error")),
        JSON.stringify(rows.map((r) => r.cells.slice(1, 5))));

    // Clicking the black event zooms every chart (and the timeline) to it.
    const black = doc.events.find((e) => e.type === "black");
    await page.click(`#lumaqc-events tr[data-event="${black.id}"]`);
    await page.waitForTimeout(100);
    const ranges = await page.evaluate(() =>
        [window.lumaqcReport.timeline, ...window.lumaqcReport.charts].map((u) => [u.scales.x.min, u.scales.x.max]));
    t.check("event click: every chart shows the event",
        ranges.every(([a, b]) => a === ranges[0][0] && b === ranges[0][1]) &&
        ranges[0][0] <= black.first_frame && ranges[0][1] >= black.last_frame &&
        ranges[0][1] - ranges[0][0] < 1.5 * black.frames + 6,
        `${JSON.stringify(ranges[0])} for frames ${black.first_frame}-${black.last_frame}`);

    // Timeline spans and threshold lines: pixels of the severity colours.
    const drawn = await page.evaluate(() => {
        const report = window.lumaqcReport;
        const data = JSON.parse(document.getElementById("lumaqc-data").textContent);
        const colour = { error: [200, 20, 30], warning: [230, 150, 0] };
        const count = (u, x, y, w, h, [r, g, b]) => {
            const p = u.ctx.getImageData(x, y, w, h).data;
            let n = 0;
            for (let i = 0; i < p.length; i += 4) {
                if (Math.abs(p[i] - r) < 40 && Math.abs(p[i + 1] - g) < 40 && Math.abs(p[i + 2] - b) < 40) n++;
            }
            return n;
        };
        report.charts[0].setScale("x", { min: data.first, max: data.first + data.count - 1 });
        const tl = report.timeline;
        const spans = count(tl, tl.bbox.left, tl.bbox.top, tl.bbox.width, tl.bbox.height, colour.error);
        // Rules with the same threshold on a chart share one line, in the stronger colour.
        const unique = [];
        for (const t of data.decision.thresholds) {
            const same = unique.find((x) => x.key === t.key && x.value === t.value);
            if (!same) unique.push({ ...t });
            else if (t.severity === "error") same.severity = "error";
        }
        const lines = unique.map((t) => {
            const u = report.charts.find((c) => c.root.parentElement.dataset.key === t.key);
            const y = Math.round(u.valToPos(t.value, "y", true));
            const [lo, hi] = [u.scales.y.min, u.scales.y.max];
            return { rule: t.rule, inRange: t.value >= lo && t.value <= hi,
                share: count(u, u.bbox.left, y - 1, u.bbox.width, 3, colour[t.severity]) / u.bbox.width };
        });
        const hints = [...document.querySelectorAll(".chart-hint")].length;
        const blockLoss = report.charts.find((c) => c.root.parentElement.dataset.key === "block_loss");
        const letterbox = report.charts.find((c) => c.root.parentElement.dataset.key === "letterbox");
        return { spans, lines, hints, notes: [...document.querySelectorAll(".chart-note")].map((n) => n.textContent),
            blockLossRange: [blockLoss.scales.y.min, blockLoss.scales.y.max],
            letterboxRange: [letterbox.scales.y.min, letterbox.scales.y.max] };
    });
    t.check("timeline: the error spans are drawn", drawn.spans > 100, `${drawn.spans} pixels`);
    t.check("thresholds: one dashed line per indicator rule, in range",
        drawn.lines.length >= 5 && drawn.lines.every((l) => l.inRange && l.share > 0.3), JSON.stringify(drawn.lines));
    t.equal("hints: one per indicator", drawn.hints, doc.indicators.length);
    t.check("block loss of a 320x240 picture: an empty chart with a note, its axis from 0 to 1 and the threshold",
        drawn.notes.length === 1 && drawn.notes[0].includes("256x256") &&
        drawn.blockLossRange[0] <= 0 && drawn.blockLossRange[1] >= 1, JSON.stringify(drawn));
    t.check("letterbox: a 0 to 1 axis", drawn.letterboxRange[0] <= 0 && drawn.letterboxRange[1] >= 1,
        JSON.stringify(drawn.letterboxRange));

    // Thumbnails: decoded pictures, scaled down, one per event of a run of frames.
    const thumbs = await page.evaluate(async () => {
        const images = [...document.querySelectorAll("img.thumb")];
        await Promise.all(images.map((i) => i.decode().catch(() => {})));
        return {
            sizes: images.map((i) => [i.naturalWidth, i.naturalHeight]),
            events: document.querySelectorAll("#lumaqc-events img.thumb").length,
            bytes: document.documentElement.outerHTML.length,
        };
    });
    t.check("thumbnails: decoded, at most 160 wide, 4:3",
        thumbs.sizes.length > 0 && thumbs.sizes.every(([w, h]) => w === 160 && h === 120), JSON.stringify(thumbs.sizes));
    t.equal("thumbnails: one per event of a run of frames", thumbs.events,
        doc.events.filter((e) => e.statistic === null).length);
    t.check("thumbnails: at most 60", thumbs.sizes.length <= 60, `${thumbs.sizes.length}`);
    t.equal("thumbnails: the held picture in colour, the black one not", await colourful(page), 1);

    t.equal("defective clip: no error and no network request", problems, []);
    await context.close();
}

{
    const { context, page } = await openReport("raw.html");
    const pictures = await page.evaluate(() => document.querySelectorAll("#lumaqc-events img.thumb").length);
    t.equal("raw input, a counting rule: a picture per event, the held one in colour", [pictures, await colourful(page)], [2, 1]);
    await context.close();
}

// --- One hour: a small page, decimated charts, ticks in minutes. ---
{
    t.check("one hour: under 3 MB", statSync(join(dir, "long.html")).size < 3e6, `${statSync(join(dir, "long.html")).size} bytes`);
    const { context, page, problems } = await openReport("long.html");
    const facts = await page.evaluate(() => window.lumaqcReport.charts.map((u) => [u.data[0].length, u.axes[0]._values.join(" ")]));
    t.check("one hour: at most 4000 points a chart, ticks as m:ss", facts.every(([n, ticks]) => n <= 4000 && /^\d+:\d\d( |$)/.test(ticks)), JSON.stringify(facts[0]));
    t.equal("one hour of grey pictures: grey thumbnails", await colourful(page), 0);
    t.equal("one hour: no error and no network request", problems, []);
    await context.close();
}

await browser.close();
t.finish();
