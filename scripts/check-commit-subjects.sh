#!/bin/sh
# Checks that every commit since BASE has a subject of at most 72 characters
# (CONTRIBUTING.md, "Commit messages"). CI runs it on a clean clone of main.
# BASE defaults to the last commit made before the rule was adopted, so older
# subjects are left alone.
#
#   scripts/check-commit-subjects.sh [BASE]
set -eu
cd "$(dirname "$0")/.."
base=${1:-d86efca249f97e83119bcdefcf05770acd845fb6}
limit=72

if ! git rev-parse --git-dir >/dev/null 2>&1; then
    echo "check-commit-subjects: not a git checkout; nothing to check"
    exit 0
fi
if git cat-file -e "$base^{commit}" 2>/dev/null; then
    range="$base..HEAD"
else
    # A shallow clone without the base: the commits it has.
    echo "check-commit-subjects: $base is not in this clone; checking the commits present"
    range="HEAD"
fi

bad=0
checked=0
for commit in $(git rev-list "$range"); do
    subject=$(git log -1 --format=%s "$commit")
    checked=$((checked + 1))
    length=$(printf "%s" "$subject" | LC_ALL=C.UTF-8 wc -m)
    if [ "$length" -gt "$limit" ]; then
        echo "commit $(git rev-parse --short "$commit"): subject of $length characters (at most $limit): $subject"
        bad=$((bad + 1))
    fi
done
if [ "$bad" -gt 0 ]; then
    echo "check-commit-subjects: $bad of $checked commits have a subject longer than $limit characters"
    exit 1
fi
echo "check-commit-subjects: $checked commits since ${base%"${base#???????}"}, every subject at most $limit characters"
