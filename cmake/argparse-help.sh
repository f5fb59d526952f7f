#!/bin/sh
# Runs a Python command with its arguments and rewrites the usage argparse
# prints ("usage:" and continuation lines) as the one "Usage:" line help2man
# reads as the synopsis.
"$@" | awk '
    NR == 1 { sub(/^usage:/, "Usage:"); usage = $0; next }
    usage != "" && /^ +[^ ]/ { sub(/^ +/, " "); usage = usage $0; next }
    usage != "" { print usage; usage = "" }
    { print }
    END { if (usage != "") print usage }'
