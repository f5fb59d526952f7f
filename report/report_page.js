// lumaqc report page: one chart per indicator over the frame index. All the
// charts share one x axis: zooming one (drag across it) zooms them all,
// double-click or "Show all frames" goes back to the whole run, and the hover
// cursor and its values follow across charts.
//
// The data sits in <script id="lumaqc-data"> as JSON: the first frame, the
// frame count and, per indicator, one value per frame (null where the frame
// has none). Frozen and blackout intervals are shaded on every chart.
(function () {
    "use strict";

    const report = (window.lumaqcReport = { charts: [], errors: [], ready: false });
    const errorBox = document.getElementById("lumaqc-errors");
    function showError(message) {
        report.errors.push(String(message));
        if (errorBox) errorBox.textContent = "Error: " + report.errors.join("\nError: ");
    }
    window.addEventListener("error", (event) => showError(event.message));

    const data = JSON.parse(document.getElementById("lumaqc-data").textContent);
    const container = document.getElementById("lumaqc-charts");
    const frames = new Array(data.count);
    for (let i = 0; i < data.count; i++) frames[i] = data.first + i;
    const lastFrame = data.first + Math.max(data.count - 1, 0);

    const HEIGHT = 170;
    const chartWidth = () => Math.max(320, container.clientWidth);

    function frameLabel(u, frame) {
        if (frame == null) return "–";
        const seconds = data.fps > 0 ? " (" + (frame / data.fps).toFixed(3) + " s)" : "";
        return frame + seconds;
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
            for (const other of report.charts) {
                if (other !== u && (other.scales.x.min !== min || other.scales.x.max !== max)) {
                    other.setScale("x", { min, max });
                }
            }
        } finally {
            syncing = false;
        }
    }

    const steps = uPlot.paths.stepped({ align: 1 });

    function makeChart(series) {
        const flag = series.type === "flag";
        const sparse = series.key === "flickering";
        const title = document.createElement("div");
        title.className = "chart-title";
        title.textContent = series.name;
        const box = document.createElement("div");
        box.className = "chart";
        box.dataset.key = series.key;
        container.append(title, box);

        const opts = {
            width: chartWidth(),
            height: HEIGHT,
            cursor: {
                sync: { key: "lumaqc-frames", setSeries: false },
                drag: { x: true, y: false },
            },
            scales: {
                x: { time: false },
                y: flag ? { range: [-0.1, 1.1] } : {},
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
            axes: [{}, { size: 64 }],
            hooks: {
                drawClear: [shadeIntervals],
                setScale: [(u, key) => key === "x" && followX(u)],
            },
        };
        return new uPlot(opts, [frames, series.values], box);
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

    document.getElementById("lumaqc-reset").addEventListener("click", () => {
        if (report.charts.length > 0) {
            report.charts[0].setScale("x", { min: data.first, max: lastFrame });
        }
    });
    let resizeTimer = 0;
    window.addEventListener("resize", () => {
        clearTimeout(resizeTimer);
        resizeTimer = setTimeout(() => {
            for (const u of report.charts) u.setSize({ width: chartWidth(), height: HEIGHT });
        }, 100);
    });

    report.ready = true;
    document.body.dataset.charts = String(report.charts.length);
})();
