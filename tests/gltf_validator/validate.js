// Validates glTF/GLB files with the Khronos validator. Prints one line per
// issue and a summary per file; exits 1 when any file has an error.
'use strict';
const fs = require('fs');
const path = require('path');
let validator;
try {
  validator = require('gltf-validator');
} catch (error) {
  console.error('gltf-validator is not installed: scripts/install-deps.sh tools installs it');
  process.exit(77);  // CTest's skip status
}

async function validate(file) {
  const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), {
    uri: path.basename(file),
    maxIssues: 0,
    externalResourceFunction: (uri) =>
      Promise.resolve(new Uint8Array(fs.readFileSync(path.join(path.dirname(file), decodeURIComponent(uri))))),
  });
  const severities = ['error', 'warning', 'info', 'hint'];
  for (const message of report.issues.messages)
    console.log(`${file}: ${severities[message.severity]}: ${message.code} ${message.message} (${message.pointer || ''})`);
  const { numErrors, numWarnings, numInfos } = report.issues;
  console.log(`${file}: ${numErrors} errors, ${numWarnings} warnings, ${numInfos} infos`);
  return numErrors;
}

(async () => {
  let errors = 0;
  for (const file of process.argv.slice(2)) errors += await validate(file);
  process.exit(errors ? 1 : 0);
})().catch((error) => {
  console.error(error);
  process.exit(2);
});
