// Opens lumaqc's HTML reports in headless Chromium and checks that every
// chart rendered with one point per frame and the values of the JSON
// document, that hovering shows a frame's values on every chart, that zooming
// one chart zooms them all, that the page loaded nothing from the network and
// logged no error, that a 100,000-frame report stays usable, and that under
// a QC profile a defective clip made by ffmpeg shows its decision: the
// verdict banner, the events table (a click zooms every chart to the event),
// the events timeline, the threshold lines and the thumbnails.
//
//   node report_test.mjs LUMAQC_BINARY TESTCARD_BINARY
import { spawnSync } from "node:child_process";
import { readFileSync } from "node:fs";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

import {
    Checks,
    chromiumPath,
    importPackage,
    run,
    skipUnlessCi,
    tempDir,
    writeSyntheticClip,
} from "./support.mjs";

const [lumaqc, testcard] = process.argv.slice(2);
const chromium = chromiumPath();
if (!chromium) skipUnlessCi("chromium is not installed");
const { chromium: launcher } = await importPackage("playwright-core");

const LONG_FRAMES = 100000;
const FLAGS = [
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
];

const dir = tempDir();
const t = new Checks();

run(testcard, ["card.yuv"], dir);
run(lumaqc, ["card.yuv", "352", "288", "--quiet", "--no-log", "--json", "card.json", "--report", "card.html"], dir);
run(lumaqc, ["card.yuv", "352", "288", "25", "0", "--quiet", "--no-log", "--json", "empty.json", "--report", "empty.html"], dir);
writeSyntheticClip(join(dir, "long.yuv"), 16, 16, LONG_FRAMES);
run(lumaqc, ["long.yuv", "16", "16", "--quiet", "--no-log", "--json", "long.json", "--report", "long.html"], dir);

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

const browser = await launcher.launch({ executablePath: chromium, args: FLAGS, headless: true });

// Loads a report; records console errors, page errors and any request that
// would leave the file (the report must work offline).
async function openReport(name) {
    const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
    const page = await context.newPage();
    const problems = [];
    page.on("console", (message) => {
        if (message.type() === "error") problems.push(`console error: ${message.text()}`);
    });
    page.on("pageerror", (error) => problems.push(`page error: ${error.message}`));
    await context.route("**/*", (route) => {
        const url = route.request().url();
        if (url.startsWith("file:")) return route.continue();
        problems.push(`network request: ${url}`);
        return route.abort();
    });
    const started = Date.now();
    await page.goto(pathToFileURL(join(dir, name)).href, { waitUntil: "load" });
    await page.waitForFunction(() => window.lumaqcReport && window.lumaqcReport.ready, null, {
        timeout: 60000,
    });
    return { context, page, problems, seconds: (Date.now() - started) / 1000 };
}

// Per chart: its indicator, points, points with a value, frame range, the
// current x range, and how many pixels of the series colour it drew.
function chartFacts(page) {
    return page.evaluate(() =>
        window.lumaqcReport.charts.map((u) => {
            const values = u.data[1];
            let valued = 0;
            for (const v of values) if (v != null) valued++;
            const { left, top, width, height } = u.bbox;
            // A few pixels beyond the plotting area: a constant series at the
            // bottom of its range is drawn on the edge.
            const pixels = u.ctx.getImageData(left, top - 3, width, height + 6).data;
            const stroke = u.series[1].stroke();
            const [r, g, b] = [1, 3, 5].map((i) => parseInt(stroke.slice(i, i + 2), 16));
            let ink = 0;
            for (let i = 0; i < pixels.length; i += 4) {
                const near =
                    Math.abs(pixels[i] - r) < 48 && Math.abs(pixels[i + 1] - g) < 48 && Math.abs(pixels[i + 2] - b) < 48;
                if (near && pixels[i + 3] > 160) ink++;
            }
            return {
                key: u.root.parentElement.dataset.key,
                points: u.data[0].length,
                valued,
                firstFrame: u.data[0][0],
                lastFrame: u.data[0][u.data[0].length - 1],
                xMin: u.scales.x.min,
                xMax: u.scales.x.max,
                ink,
            };
        }),
    );
}

function checkCharts(label, facts, doc) {
    const keys = doc.indicators.map((i) => i.key);
    t.equal(`${label}: one chart per indicator, in column order`, facts.map((f) => f.key), keys);
    const frames = doc.frames;
    for (const f of facts) {
        t.equal(`${label} ${f.key}: points`, f.points, frames.length);
        t.equal(`${label} ${f.key}: points with a value`, f.valued, doc.summary.stats[f.key].count);
        t.equal(`${label} ${f.key}: frame range`, [f.firstFrame, f.lastFrame], [frames[0].frame, frames.at(-1).frame]);
        t.check(`${label} ${f.key}: drawn`, (f.ink > 0) === (f.valued > 0), `${f.ink} pixels of its colour`);
    }
}

// --- The test card: values, hover, zoom, tables. ---
{
    const doc = JSON.parse(readFileSync(join(dir, "card.json"), "utf8"));
    const { context, page, problems, seconds } = await openReport("card.html");
    const facts = await chartFacts(page);
    checkCharts("test card", facts, doc);

    // Every value the charts hold is the document's, to the log's digits.
    const series = await page.evaluate(() => window.lumaqcReport.charts.map((u) => u.data[1]));
    const decimals = await page.evaluate(() =>
        JSON.parse(document.getElementById("lumaqc-data").textContent).series.map((s) => s.decimals),
    );
    doc.indicators.forEach((indicator, c) => {
        const wrong = doc.frames.filter((frame, i) => {
            const expected = frame[indicator.key];
            const shown = series[c][i];
            if (expected === null || shown === null) return expected !== shown;
            return Math.abs(expected - shown) > 0.5 * 10 ** -decimals[c] + 1e-9;
        });
        t.check(`chart values of ${indicator.key}`, wrong.length === 0, `frames ${wrong.map((f) => f.frame).slice(0, 5)}`);
    });

    // Hover over frame 110 of the blackout chart: every chart's legend shows frame 110's value.
    const frame = 110;
    const box = await page.evaluate((frame) => {
        const u = window.lumaqcReport.charts.find((c) => c.root.parentElement.dataset.key === "blackout");
        u.root.scrollIntoView({ block: "center" });
        const rect = u.over.getBoundingClientRect();
        return { x: rect.left + u.valToPos(frame, "x"), y: rect.top + rect.height / 2 };
    }, frame);
    await page.mouse.move(box.x, box.y);
    await page.waitForTimeout(100);
    const legends = await page.evaluate(() =>
        window.lumaqcReport.charts.map((u) => [...u.root.querySelectorAll(".u-legend .u-value")].map((e) => e.textContent)),
    );
    doc.indicators.forEach((indicator, c) => {
        const v = doc.frames[frame][indicator.key];
        const expected = v === null ? "–" : v.toFixed(decimals[c]);
        t.check(`hover legend of ${indicator.key}`, legends[c][0].startsWith(`${frame} (`) && legends[c][1] === expected,
            `${JSON.stringify(legends[c])}, expected frame ${frame} and ${expected}`);
    });

    // Drag across frames 20..40 of the first chart: all charts show that range.
    const drag = await page.evaluate(() => {
        const u = window.lumaqcReport.charts[0];
        u.root.scrollIntoView({ block: "center" });
        const rect = u.over.getBoundingClientRect();
        return { x0: rect.left + u.valToPos(20, "x"), x1: rect.left + u.valToPos(40, "x"), y: rect.top + rect.height / 2 };
    });
    await page.mouse.move(drag.x0, drag.y);
    await page.mouse.down();
    await page.mouse.move(drag.x1, drag.y, { steps: 8 });
    await page.mouse.up();
    await page.waitForTimeout(100);
    let ranges = (await chartFacts(page)).map((f) => [f.xMin, f.xMax]);
    t.check("zoom: every chart shows the dragged range",
        ranges.every(([a, b]) => a === ranges[0][0] && b === ranges[0][1] && Math.abs(a - 20) < 1 && Math.abs(b - 40) < 1),
        JSON.stringify(ranges[0]) + " " + JSON.stringify(ranges.at(-1)));

    // Double-click another chart: all charts show every frame again.
    const other = await page.evaluate(() => {
        const u = window.lumaqcReport.charts[7];
        u.root.scrollIntoView({ block: "center" });
        const rect = u.over.getBoundingClientRect();
        return { x: rect.left + rect.width / 2, y: rect.top + rect.height / 2 };
    });
    await page.mouse.dblclick(other.x, other.y);
    await page.waitForTimeout(100);
    ranges = (await chartFacts(page)).map((f) => [f.xMin, f.xMax]);
    t.check("double-click: every chart shows all frames", ranges.every(([a, b]) => a === 0 && b === 136), JSON.stringify(ranges));

    // The tables: fifteen indicators, the frozen and the black scene.
    const tables = await page.evaluate(() => {
        const rows = (id) => [...document.querySelectorAll(`#${id} tbody tr`)].map((tr) => [...tr.cells].map((c) => c.textContent));
        return { summary: rows("lumaqc-summary"), frozen: rows("lumaqc-frozen"), blackouts: rows("lumaqc-blackouts") };
    });
    t.equal("summary rows", tables.summary.map((r) => r[0]), doc.indicators.map((i) => i.name));
    t.equal("frozen interval rows", tables.frozen, [["117", "128", "12", "4.680", "0.480"]]);
    t.equal("blackout interval rows", tables.blackouts, [["105", "116", "12", "4.200", "0.480"]]);

    t.equal("test card: no error and no network request", problems, []);
    console.log(`test card report ready in ${seconds.toFixed(2)} s`);
    await context.close();
}

// --- No frame at all: empty charts, still no error. ---
{
    const doc = JSON.parse(readFileSync(join(dir, "empty.json"), "utf8"));
    const { context, page, problems } = await openReport("empty.html");
    const facts = await chartFacts(page);
    t.equal("no frame: fifteen empty charts", facts.map((f) => f.points), doc.indicators.map(() => 0));
    t.equal("no frame: no error and no network request", problems, []);
    await context.close();
}

// --- 100,000 frames: every chart has every point, the page stays quick. ---
{
    const doc = JSON.parse(readFileSync(join(dir, "long.json"), "utf8"));
    t.equal("long clip: frames analysed", doc.frames.length, LONG_FRAMES);
    const { context, page, problems, seconds } = await openReport("long.html");
    checkCharts("long clip", await chartFacts(page), doc);

    // A zoom redraws all fifteen charts.
    const zoomSeconds = await page.evaluate(async () => {
        const started = performance.now();
        window.lumaqcReport.charts[0].setScale("x", { min: 40000, max: 60000 });
        await new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)));
        return (performance.now() - started) / 1000;
    });
    const ranges = (await chartFacts(page)).map((f) => [f.xMin, f.xMax]);
    t.check("long clip: zoom reaches every chart", ranges.every(([a, b]) => a === 40000 && b === 60000), JSON.stringify(ranges));
    t.check("long clip: ready within 20 s", seconds < 20, `${seconds} s`);
    t.check("long clip: zoom within 5 s", zoomSeconds < 5, `${zoomSeconds} s`);
    t.equal("long clip: no error and no network request", problems, []);
    console.log(`100,000-frame report ready in ${seconds.toFixed(2)} s, zoom redraw ${zoomSeconds.toFixed(2)} s`);
    await context.close();
}


// --- Under a profile: the decision on a defective clip. ---
{
    const doc = JSON.parse(readFileSync(join(dir, "defects.json"), "utf8"));
    const { context, page, problems } = await openReport("defects.html");
    checkCharts("defective clip", await chartFacts(page), doc);

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
    t.equal("events table: the document's events",
        rows.map((r) => [r.cells[1], r.cells[2], r.first, r.last]),
        doc.events.map((e) => [e.type, e.severity, e.first_frame, e.last_frame]));
    for (const type of ["black", "freeze"]) {
        t.check(`events table: a ${type} error`, rows.some((r) => r.cells[1] === type && r.cells[2] === "error"),
            JSON.stringify(rows.map((r) => r.cells.slice(1, 5))));
    }

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

    t.equal("defective clip: no error and no network request", problems, []);
    await context.close();
}

await browser.close();
t.finish();
