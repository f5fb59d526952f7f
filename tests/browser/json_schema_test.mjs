// Validates lumaqc's JSON documents against schema/lumaqc-results.schema.json
// (JSON Schema 2020-12, with ajv): the test card, pictures too small for
// block loss and slice, a run of no frame, a run from a start frame at
// another frame rate, a live run's rolling window, and a document marked
// incomplete. Also checks that the schema rejects documents that break it.
//
//   node json_schema_test.mjs LUMAQC_BINARY TESTCARD_BINARY
import { readFileSync, writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

import { cardDir, Checks, importPackage, run } from "./support.mjs";

const [lumaqc, testcard] = process.argv.slice(2);
const { default: Ajv2020 } = await importPackage("ajv/dist/2020.js");
const root = join(dirname(fileURLToPath(import.meta.url)), "..", "..");
const schema = JSON.parse(readFileSync(join(root, "schema", "lumaqc-results.schema.json"), "utf8"));
const validate = new Ajv2020({ allErrors: true, strict: true }).compile(schema);

const dir = cardDir(testcard);
const t = new Checks();
run(testcard, ["small.yuv", "40", "40"], dir);
// A counting rule with a percent threshold: the card's two runs without pillarbox bars make one event.
writeFileSync(join(dir, "counted.toml"), 'name = "counted"\n[[rule]]\nid = "framed"\nindicator = "pillarbox"\nthreshold = "50 %"\ndirection = "below"\nmax_count = 1\nseverity = "warning"\n');
const documentOf = (args) => {
    run(lumaqc, [...args, "--quiet", "--no-log", "--json", "out.json"], dir);
    return JSON.parse(readFileSync(join(dir, "out.json"), "utf8"));
};
const valid = (label, doc) => t.check(`${label} validates`, validate(doc), JSON.stringify(validate.errors, null, 1));

const cases = [
    ["test card", ["card.yuv", "352", "288"]],
    ["40x40 pictures", ["small.yuv", "40", "40", "--threads", "2"]],
    ["no frame", ["card.yuv", "352", "288", "25", "0"]],
    ["from frame 120 at 30 fps", ["card.yuv", "352", "288", "30", "17", "120"]],
    ["frame rate 0", ["card.yuv", "352", "288", "0", "20"]],
    ["default QC profile", ["card.yuv", "352", "288", "--profile", "default"]],
    ["counting rule", ["card.yuv", "352", "288", "--profile", "counted.toml"]],
    ["live, the last second", ["card.yuv", "352", "288", "--live", "--window", "1s"]],
];
const docs = {};
for (const [label, args] of cases) {
    const doc = (docs[label] = documentOf(args));
    valid(label, doc);
    t.equal(`${label}: complete`, [doc.complete, doc.frames_analysed], [true, doc.frames.length]);
}
const card = docs["test card"];
const { events, profile } = docs["counting rule"];
t.equal("counting rule: its event", events.map((e) => [e.count, e.max_count, e.threshold, e.first_frame, e.message, profile.rules[0].max_count]), [[2, 1, 0.5, 0, "2 pillarbox events (at most 1 allowed)", 1]]);

// A document of the first version (without the input's provenance and the run) still validates.
{
    const old = structuredClone(card);
    delete old.run;
    for (const key of Object.keys(old.input)) if (!["path", "kind", "width", "height", "fps", "start_frame", "frames_requested"].includes(key)) delete old.input[key];
    valid("first version", old);
}

// 40x40: no block loss and no slice value on any frame.
const small = docs["40x40 pictures"];
t.check("40x40: block_loss and slice are null", small.frames.every((f) => f.block_loss === null && f.slice === null));
t.equal("40x40: no block_loss statistics", small.summary.stats.block_loss, { count: 0, mean: null, min: null, max: null, p5: null, p50: null, p95: null });

// A document cut short by a stop signal or a read error (marked incomplete,
// still whole: Faults.FaultAtAFrameKeepsTheRowsBeforeIt) differs only in
// "complete".
{
    const stopped = structuredClone(card);
    stopped.complete = false;
    valid("incomplete", stopped);
}

// The schema is strict: it rejects a missing field, an unknown key, a flag
// out of range and a misspelt indicator.
const broken = [
    ["missing summary", (d) => delete d.summary],
    ["unknown top-level key", (d) => (d.extra = 1)],
    ["blackout of 2", (d) => (d.frames[3].blackout = 2)],
    ["frame without flickering", (d) => delete d.frames[5].flickering],
    ["exposure with a fraction", (d) => (d.frames[0].exposure = 12.5)],
    ["statistics under a wrong key", (d) => (d.summary.stats.blockyness = d.summary.stats.blockiness)],
    ["interval without duration", (d) => delete d.summary.frozen_intervals[0].duration_seconds],
    ["run without end time", (d) => delete d.run.end_time],
    ["modification time not in UTC", (d) => (d.input.modified_time = "2024-05-01 10:20:30+02:00")],
];
for (const [label, breakIt] of broken) {
    const doc = structuredClone(card);
    breakIt(doc);
    t.check(`schema rejects: ${label}`, !validate(doc));
}
t.finish();
