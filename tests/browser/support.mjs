// Helpers shared by the Node.js checks: running the binaries, temporary
// directories, synthetic clips and the skip convention of ctest.
import { spawnSync } from "node:child_process";
import { existsSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

// ctest counts a test that exits with this status as skipped.
export const SKIP = 77;

// Skips the test, or fails it on CI, where everything it needs is installed.
export function skipUnlessCi(reason) {
    if (process.env.CI) {
        console.error(`FAIL: ${reason} (CI installs it with scripts/install-deps.sh --test)`);
        process.exit(1);
    }
    console.log(`SKIP: ${reason}; scripts/install-deps.sh --test installs it`);
    process.exit(SKIP);
}

// Imports an npm package from tests/browser/node_modules, or skips.
export async function importPackage(name) {
    try {
        return await import(name);
    } catch {
        return skipUnlessCi(`npm package ${name} is missing (npm ci in tests/browser)`);
    }
}

export function tempDir() {
    const dir = mkdtempSync(join(tmpdir(), "lumaqc-browser-"));
    process.on("exit", () => rmSync(dir, { recursive: true, force: true }));
    return dir;
}

// Runs a program in `cwd`; throws with its output when it fails.
export function run(program, args, cwd) {
    const result = spawnSync(program, args, { cwd, encoding: "utf8", maxBuffer: 1 << 28 });
    if (result.status !== 0) {
        throw new Error(
            `${program} ${args.join(" ")} exited with ${result.status}\n${result.stdout}\n${result.stderr}`,
        );
    }
    return result;
}

// A raw 4:2:0 clip of `count` frames of w x h: pseudo-random texture, with
// every tenth stretch of 500 frames black and every other one frozen.
export function writeSyntheticClip(path, w, h, count) {
    const frameBytes = (w * h * 3) >> 1;
    const clip = Buffer.alloc(frameBytes * count, 128);
    let state = 0x2545f491;
    for (let f = 0; f < count; f++) {
        const luma = clip.subarray(f * frameBytes, f * frameBytes + w * h);
        const stretch = Math.floor(f / 500) % 10;
        if (stretch === 3) {
            luma.fill(16);
        } else if (stretch === 6 && f % 500 !== 0) {
            clip.copy(luma, 0, (f - 1) * frameBytes, (f - 1) * frameBytes + w * h);
        } else {
            for (let i = 0; i < luma.length; i++) {
                state ^= state << 13;
                state ^= state >>> 17;
                state ^= state << 5;
                luma[i] = 30 + ((state >>> 0) % 190);
            }
        }
    }
    writeFileSync(path, clip);
}

export function chromiumPath() {
    const path = process.env.CHROMIUM || "/usr/bin/chromium";
    return existsSync(path) ? path : null;
}

// Test bookkeeping: named checks, a closing "N passed, N failed" line.
export class Checks {
    constructor() {
        this.passed = 0;
        this.failed = 0;
    }
    check(name, ok, detail = "") {
        if (ok) {
            this.passed++;
        } else {
            this.failed++;
            console.error(`FAIL: ${name}${detail ? `: ${detail}` : ""}`);
        }
    }
    equal(name, actual, expected) {
        const a = JSON.stringify(actual);
        const e = JSON.stringify(expected);
        this.check(name, a === e, `got ${a}, expected ${e}`);
    }
    finish() {
        console.log(`${this.passed} passed, ${this.failed} failed`);
        process.exit(this.failed === 0 ? 0 : 1);
    }
}
