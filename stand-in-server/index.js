// A small stand-in for the music server: it answers the tray application's readiness probe,
// serves a page that shows it runs, and runs the folder picker when asked. Plain Node.js.
'use strict';

const http = require('http');
const fs = require('fs');
const path = require('path');
const { execFile } = require('child_process');

const port = Number(process.env.PORT || 2104);
const dataFile = process.env.QUARLE_DB_PATH
  ? path.join(path.dirname(process.env.QUARLE_DB_PATH), 'stand-in-music-folder.json')
  : null;

function log(line) {
  process.stdout.write(`${new Date().toISOString()} ${line}\n`);
}

function readChosenFolder() {
  if (!dataFile) return null;
  try {
    return JSON.parse(fs.readFileSync(dataFile, 'utf8')).folder || null;
  } catch {
    return null;
  }
}

function rememberFolder(folder) {
  if (!dataFile) return;
  const temporary = `${dataFile}.new`;
  fs.writeFileSync(temporary, JSON.stringify({ folder }) + '\n');
  fs.renameSync(temporary, dataFile);
}

function sendJson(response, status, value) {
  const body = JSON.stringify(value);
  response.writeHead(status, {
    'Content-Type': 'application/json; charset=utf-8',
    'Content-Length': Buffer.byteLength(body),
  });
  response.end(body);
}

// Runs the picker and reports its one JSON line and exit status as they came.
function chooseFolder(response) {
  const picker = process.env.QUARLE_FOLDER_PICKER_BIN;
  if (!picker) {
    sendJson(response, 500, { status: 'error', message: 'No folder picker was given.' });
    return;
  }
  execFile(picker, [], { encoding: 'utf8', timeout: 10 * 60 * 1000 }, (error, stdout, stderr) => {
    const exitStatus = error ? (typeof error.code === 'number' ? error.code : 1) : 0;
    let result;
    try {
      result = JSON.parse(stdout);
    } catch {
      result = { status: 'error', message: stderr.trim() || `The folder picker failed (${error && error.message}).` };
    }
    if (result.status === 'selected' && exitStatus === 0) rememberFolder(result.path);
    log(`folder picker exited with ${exitStatus}: ${stdout.trim() || stderr.trim()}`);
    sendJson(response, 200, { exitStatus, result, folder: readChosenFolder() });
  });
}

const page = fs.readFileSync(path.join(__dirname, 'page.html'));

const server = http.createServer((request, response) => {
  log(`${request.method} ${request.url}`);
  const url = new URL(request.url, `http://127.0.0.1:${port}`);
  if (request.method === 'GET' && url.pathname === '/api/app-mode') {
    sendJson(response, 200, { mode: 'quarle' });
  } else if (request.method === 'GET' && url.pathname === '/api/music-folder') {
    sendJson(response, 200, { folder: readChosenFolder() });
  } else if (request.method === 'POST' && url.pathname === '/api/music-folder/choose') {
    chooseFolder(response);
  } else if (request.method === 'GET' && url.pathname === '/') {
    response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    response.end(page);
  } else {
    sendJson(response, 404, { error: 'not found' });
  }
});

server.on('error', (error) => {
  log(`cannot listen on 127.0.0.1:${port}: ${error.message}`);
  process.exit(1);
});

server.listen(port, '127.0.0.1', () => log(`listening on http://127.0.0.1:${port}`));

process.on('SIGTERM', () => {
  log('SIGTERM received, closing the listener');
  server.close(() => process.exit(0));
  server.closeAllConnections();
});
