// lumaqc report page: one chart per indicator over time. All the
// charts share one x axis: zooming one (drag across it) zooms them all,
// double-click or "Show all frames" goes back to the whole run, and the hover
// cursor and its values follow across charts.
//
// The data sits in <script id="lumaqc-data"> as JSON: the first frame, the
// frame count and, per indicator, one value per frame (null where the frame
// has none). A long run's series are decimated (each stretch of frames as its
// lowest and highest value) and "x" gives the frame of each point. The x axis
// stays in frames, its ticks fall on whole seconds (or minutes) and read as
// time. Frozen and blackout intervals are shaded on every chart.
//
// Scales stay comparable: an indicator with no value on any frame (block
// loss on a small picture) gets an empty chart with a note, and the
// indicators that range over 0 to 1 keep that axis.
//
// Under a QC profile the data also holds the decision: the events (drawn as
// spans on a timeline above the charts; a click on a row of the events table
// zooms every chart to the event), each rule's threshold (a dashed line on
// its indicator's chart, red for errors, amber for warnings) and a hint per
// indicator saying which way it gets worse.
(function () {
    "use strict";

    const report = (window.lumaqcReport = { charts: [], timeline: null, errors: [], ready: false });
    const errorBox = document.getElementById("lumaqc-errors");
    function showError(message) {
        report.errors.push(String(message));
        if (errorBox) errorBox.textContent = "Error: " + report.errors.join("\nError: ");
    }
    window.addEventListener("error", (event) => showError(event.message));

    const data = JSON.parse(document.getElementById("lumaqc-data").textContent);
    const container = document.getElementById("lumaqc-charts");
    let frames = data.x;
    if (!frames) {
        frames = new Array(data.count);
        for (let i = 0; i < data.count; i++) frames[i] = data.first + i;
    }
    const lastFrame = data.first + Math.max(data.count - 1, 0);

    const HEIGHT = 170;
    const TIMELINE_HEIGHT = 48;
    const decision = data.decision || null;
    const SEVERITY_COLOURS = { error: "rgba(200, 20, 30, 0.85)", warning: "rgba(230, 150, 0, 0.85)" };
    // Indicators that range over 0 to 1.
    const UNIT_RANGE = new Set(["letterbox", "pillarbox", "flickering"]);
    const NO_VALUE_NOTES = {
        block_loss: "No value: block loss is rated on pictures of at least 256x256 only.",
        slice: "No value: slices are rated on pictures of more than 47 rows only.",
    };
    const chartWidth = () => Math.max(320, container.clientWidth);

    function frameLabel(u, frame) {
        if (frame == null) return "–";
        const seconds = data.fps > 0 ? " (" + (frame / data.fps).toFixed(3) + " s)" : "";
        return frame + seconds;
    }

    // Tick steps in seconds; the axis keeps frames, so a step is fps frames a second.
    const TIME_STEPS = [0.04, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200];
    const timeAxis = data.fps > 0
        ? {
              incrs: TIME_STEPS.map((s) => s * data.fps),
              values: (u, splits) => splits.map((f) => timeText(f / data.fps)),
          }
        : {};
    function timeText(seconds) {
        const whole = Math.round(seconds * 1000) / 1000;
        if (lastFrame / data.fps < 60) return whole + " s";
        const h = Math.floor(whole / 3600);
        const m = Math.floor((whole % 3600) / 60);
        const fraction = whole % 1 !== 0;
        const sec = (whole % 60).toFixed(fraction ? 1 : 0).padStart(fraction ? 4 : 2, "0");
        return (h > 0 ? h + ":" + String(m).padStart(2, "0") : String(m)) + ":" + sec;
    }

    function valueFormatter(series) {
        return (u, v) => (v == null ? "–" : v.toFixed(series.decimals));
    }

    // Shades the frozen (blue) and blackout (grey) intervals behind the lines.
    function shadeIntervals(u) {
        const ctx = u.ctx;
        const { left, top, width, height } = u.bbox;
        const shade = (intervals, colour) => {
            ctx.fillStyle = colour;
            for (const [first, last] of intervals) {
                const x0 = Math.max(left, u.valToPos(first - 0.5, "x", true));
                const x1 = Math.min(left + width, u.valToPos(last + 0.5, "x", true));
                if (x1 > x0) ctx.fillRect(x0, top, x1 - x0, height);
            }
        };
        ctx.save();
        shade(data.blackouts, "rgba(90, 90, 90, 0.18)");
        shade(data.frozen, "rgba(40, 110, 220, 0.18)");
        ctx.restore();
    }

    // Zooming one chart sets the same frame range on all the others.
    let syncing = false;
    function followX(u) {
        if (syncing) return;
        syncing = true;
        try {
            const { min, max } = u.scales.x;
            for (const other of report.timeline ? [report.timeline, ...report.charts] : report.charts) {
                if (other !== u && (other.scales.x.min !== min || other.scales.x.max !== max)) {
                    other.setScale("x", { min, max });
                }
            }
        } finally {
            syncing = false;
        }
    }

    const steps = uPlot.paths.stepped({ align: 1 });

    // The y range: flags -0.1 to 1.1; 0-1 indicators at least 0 to 1; an
    // empty series 0 to 1; under a profile, room for the thresholds.
    function yScale(series, empty, thresholds) {
        if (series.type === "flag") return { range: [-0.1, 1.1] };
        const unit = UNIT_RANGE.has(series.key);
        if (!unit && !empty && thresholds.length === 0) return {};
        return {
            range: (u, min, max) => {
                if (empty || min == null || max == null) {
                    min = 0;
                    max = 1;
                }
                for (const t of thresholds) {
                    min = Math.min(min, t.value);
                    max = Math.max(max, t.value);
                }
                if (unit) {
                    min = Math.min(min, 0);
                    max = Math.max(max, 1);
                    return [min, max];
                }
                if (max === min) return [min - 0.5, max + 0.5];
                const pad = (max - min) * 0.05;
                return [min - pad, max + pad];
            },
        };
    }

    // Each threshold as a dashed horizontal line, coloured by severity.
    function drawThresholds(thresholds) {
        return (u) => {
            const ctx = u.ctx;
            const { left, width } = u.bbox;
            ctx.save();
            ctx.setLineDash([6, 4]);
            ctx.lineWidth = 1.5;
            for (const t of thresholds) {
                const y = Math.round(u.valToPos(t.value, "y", true)) + 0.5;
                ctx.strokeStyle = SEVERITY_COLOURS[t.severity] || "#555";
                ctx.beginPath();
                ctx.moveTo(left, y);
                ctx.lineTo(left + width, y);
                ctx.stroke();
            }
            ctx.restore();
        };
    }

    function makeChart(series) {
        const flag = series.type === "flag";
        const sparse = series.key === "flickering";
        const empty = data.count > 0 && series.values.every((v) => v == null);
        // Rules of a ladder share their threshold: one line, in the stronger colour.
        const thresholds = [];
        for (const t of decision ? decision.thresholds.filter((x) => x.key === series.key) : []) {
            const same = thresholds.find((x) => x.value === t.value);
            if (!same) thresholds.push(t);
            else if (t.severity === "error") same.severity = "error";
        }
        const title = document.createElement("div");
        title.className = "chart-title";
        title.textContent = series.name;
        const box = document.createElement("div");
        box.className = "chart";
        box.dataset.key = series.key;
        container.append(title);
        if (decision && decision.hints[series.key]) {
            const hint = document.createElement("div");
            hint.className = "chart-hint";
            hint.textContent = decision.hints[series.key];
            container.append(hint);
        }
        if (empty) {
            const note = document.createElement("div");
            note.className = "chart-note";
            // Styled here: the page's style sheet is the same with and without a profile.
            note.style.cssText = "color: #4a5563; font-size: 13px; font-style: italic";
            note.textContent = NO_VALUE_NOTES[series.key] || "No value on any frame.";
            container.append(note);
        }
        container.append(box);

        const opts = {
            width: chartWidth(),
            height: HEIGHT,
            cursor: {
                sync: { key: "lumaqc-frames", setSeries: false },
                drag: { x: true, y: false },
            },
            scales: {
                x: { time: false },
                y: yScale(series, empty, thresholds),
            },
            legend: { live: true },
            series: [
                { label: "Frame", value: frameLabel },
                {
                    label: series.name,
                    stroke: flag ? "#b5481d" : "#1f5fbf",
                    width: 1,
                    paths: flag ? steps : undefined,
                    spanGaps: sparse,
                    points: sparse ? { show: true, size: 4 } : {},
                    value: valueFormatter(series),
                },
            ],
            axes: [timeAxis, { size: 64 }],
            hooks: {
                drawClear: [shadeIntervals],
                draw: thresholds.length > 0 ? [drawThresholds(thresholds)] : [],
                setScale: [(u, key) => key === "x" && followX(u)],
            },
        };
        return new uPlot(opts, [frames, series.values], box);
    }

    // The timeline above the charts: the events as spans, labelled with
    // their type; its plotting area lines up with the charts'.
    function drawEvents(u) {
        const ctx = u.ctx;
        const { left, top, width, height } = u.bbox;
        // One lane per severity present: errors above warnings.
        const severities = ["error", "warning"].filter((v) => decision.events.some((e) => e.severity === v));
        const lane = height / Math.max(1, severities.length);
        ctx.save();
        ctx.font = Math.round(11 * devicePixelRatio) + "px system-ui, sans-serif";
        ctx.textBaseline = "middle";
        ctx.textAlign = "left";
        for (const e of decision.events) {
            const row = Math.max(0, severities.indexOf(e.severity));
            const x0 = Math.max(left, u.valToPos(e.whole ? data.first : e.first - 0.5, "x", true));
            const x1 = Math.min(left + width, u.valToPos(e.whole ? lastFrame : e.last + 0.5, "x", true));
            if (!(x1 > x0)) continue;
            const y = top + row * lane + 2;
            ctx.fillStyle = SEVERITY_COLOURS[e.severity] || "#555";
            ctx.globalAlpha = e.whole ? 0.3 : 1;
            ctx.fillRect(x0, y, Math.max(x1 - x0, 2), lane - 4);
            ctx.globalAlpha = 1;
            const label = e.type;
            if (ctx.measureText(label).width + 6 < x1 - x0) {
                ctx.fillStyle = "#fff";
                ctx.fillText(label, x0 + 3, y + (lane - 4) / 2);
            }
        }
        ctx.restore();
    }

    function makeTimeline() {
        const box = document.getElementById("lumaqc-timeline");
        if (!decision || !box) return null;
        const opts = {
            width: chartWidth(),
            height: TIMELINE_HEIGHT,
            padding: [4, null, 4, null],
            cursor: { sync: { key: "lumaqc-frames", setSeries: false }, drag: { x: true, y: false } },
            scales: { x: { time: false }, y: { range: [0, 1] } },
            legend: { show: false },
            series: [{}, { label: "Events", stroke: "transparent" }],
            axes: [
                { show: false },
                { size: 64, values: (u, splits) => splits.map(() => ""), ticks: { show: false }, grid: { show: false } },
            ],
            hooks: {
                draw: [drawEvents],
                setScale: [(u, key) => key === "x" && followX(u)],
            },
        };
        return new uPlot(opts, [frames, frames.map(() => null)], box);
    }

    try {
        report.timeline = makeTimeline();
    } catch (error) {
        showError("timeline: " + (error && error.message ? error.message : error));
    }
    for (const series of data.series) {
        try {
            report.charts.push(makeChart(series));
        } catch (error) {
            showError(series.key + ": " + (error && error.message ? error.message : error));
        }
    }

    // The page may have changed width while it grew; give every chart the final one.
    for (const u of report.charts) {
        if (u.width !== chartWidth()) u.setSize({ width: chartWidth(), height: HEIGHT });
    }
    if (report.timeline && report.timeline.width !== chartWidth()) {
        report.timeline.setSize({ width: chartWidth(), height: TIMELINE_HEIGHT });
    }

    // A click on an event zooms every chart to it, with a little margin.
    function zoomTo(first, last) {
        if (report.charts.length === 0) return;
        const margin = Math.max(2, Math.round((last - first + 1) * 0.1));
        const min = Math.max(data.first, first - margin);
        const max = Math.min(lastFrame, last + margin);
        report.charts[0].setScale("x", { min, max: max > min ? max : min + 1 });
    }
    report.zoomTo = zoomTo;
    for (const row of document.querySelectorAll("#lumaqc-events tr[data-event]")) {
        row.addEventListener("click", () => {
            const e = decision && decision.events.find((x) => String(x.id) === row.dataset.event);
            if (e && e.whole) zoomTo(data.first, lastFrame);
            else zoomTo(Number(row.dataset.first), Number(row.dataset.last));
            for (const other of document.querySelectorAll("#lumaqc-events tr.selected")) other.classList.remove("selected");
            row.classList.add("selected");
        });
    }

    // The severity filter over the events table: a row shows when its box is ticked.
    const filter = document.getElementById("lumaqc-severity");
    if (filter) {
        filter.addEventListener("change", () => {
            const hidden = new Set([...filter.querySelectorAll("input:not(:checked)")].map((i) => i.value));
            for (const row of document.querySelectorAll("#lumaqc-events tr[data-event]")) {
                row.hidden = [...row.classList].some((c) => hidden.has(c));
            }
        });
    }

    // Printed on A4 (portrait, 15 mm margins): the charts as wide as the page.
    const PRINT_WIDTH = 680;
    const resizeAll = (width) => {
        for (const u of report.charts) u.setSize({ width, height: HEIGHT });
        if (report.timeline) report.timeline.setSize({ width, height: TIMELINE_HEIGHT });
    };
    window.addEventListener("beforeprint", () => resizeAll(PRINT_WIDTH));
    window.addEventListener("afterprint", () => resizeAll(chartWidth()));

    document.getElementById("lumaqc-reset").addEventListener("click", () => {
        if (report.charts.length > 0) {
            report.charts[0].setScale("x", { min: data.first, max: lastFrame });
        }
    });
    let resizeTimer = 0;
    window.addEventListener("resize", () => {
        clearTimeout(resizeTimer);
        resizeTimer = setTimeout(() => resizeAll(chartWidth()), 100);
    });

    report.ready = true;
    document.body.dataset.charts = String(report.charts.length);
})();
