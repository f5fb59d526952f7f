// Helpers shared by the Node.js checks: running the binaries, temporary
// directories, the checks' bookkeeping and the skip convention of ctest.
import { spawnSync } from "node:child_process";
import { existsSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

// Skips the test (status 77 for ctest), or fails it on CI, where everything it needs is installed.
export function skipUnlessCi(reason) {
    console.log(`${process.env.CI ? "FAIL" : "SKIP"}: ${reason}; scripts/install-deps.sh --test installs it`);
    process.exit(process.env.CI ? 1 : 77);
}

// Imports an npm package from tests/browser/node_modules, or skips.
export async function importPackage(name) {
    try {
        return await import(name);
    } catch {
        return skipUnlessCi(`npm package ${name} is missing (npm ci in tests/browser)`);
    }
}

// A temporary directory removed at exit, holding the test card as card.yuv.
export function cardDir(testcard) {
    const dir = mkdtempSync(join(tmpdir(), "lumaqc-browser-"));
    process.on("exit", () => rmSync(dir, { recursive: true, force: true }));
    run(testcard, ["card.yuv"], dir);
    return dir;
}

// Runs a program in `cwd`; throws with its output when it fails.
export function run(program, args, cwd) {
    const r = spawnSync(program, args, { cwd, encoding: "utf8", maxBuffer: 1 << 28 });
    if (r.status !== 0) throw new Error(`${program} ${args.join(" ")} exited with ${r.status}\n${r.stdout}\n${r.stderr}`);
    return r;
}

export const chromiumPath = () => [process.env.CHROMIUM || "/usr/bin/chromium"].find(existsSync) ?? null;

// Named checks, and a closing "N passed, N failed" line.
export class Checks {
    passed = 0;
    failed = 0;
    check(name, ok, detail = "") {
        if (ok) return this.passed++;
        this.failed++;
        console.error(`FAIL: ${name}${detail ? `: ${detail}` : ""}`);
    }
    equal(name, actual, expected) {
        const [a, e] = [JSON.stringify(actual), JSON.stringify(expected)];
        this.check(name, a === e, `got ${a}, expected ${e}`);
    }
    finish() {
        console.log(`${this.passed} passed, ${this.failed} failed`);
        process.exit(this.failed === 0 ? 0 : 1);
    }
}
