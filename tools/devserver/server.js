#!/usr/bin/env node
'use strict';

// Entry point: node tools/devserver/server.js [--port N] [--bind ADDRESS] [--updates DIR]
// --bind 0.0.0.0 serves every interface (scripts/demo --lan); the default is loopback only.
// --updates DIR serves DIR's files (a feed and archives from tools/release) under /remote-desktop/.
// Prints exactly one line on stdout once listening; tests parse it.

const { DevServer, LISTEN_HOST } = require('./devserver');

function usage(code) {
  process.stderr.write('usage: node server.js [--port N] [--bind ADDRESS] [--updates DIR]   (env DEVSERVER_PORT; 0 = any free port)\n');
  process.exit(code);
}

function parsePort(text) {
  const port = Number(text);
  if (!Number.isInteger(port) || port < 0 || port > 65535) {
    process.stderr.write(`invalid port: ${text}\n`);
    usage(2);
  }
  return port;
}

function parseArgs(argv) {
  let port = process.env.DEVSERVER_PORT ? parsePort(process.env.DEVSERVER_PORT) : 0;
  let bind = LISTEN_HOST;
  let updates = null;
  for (let i = 0; i < argv.length; i += 1) {
    const arg = argv[i];
    if (arg === '--port') {
      if (i + 1 >= argv.length) usage(2);
      port = parsePort(argv[(i += 1)]);
    } else if (arg.startsWith('--port=')) {
      port = parsePort(arg.slice('--port='.length));
    } else if (arg === '--bind') {
      if (i + 1 >= argv.length) usage(2);
      bind = argv[(i += 1)];
    } else if (arg === '--updates') {
      if (i + 1 >= argv.length) usage(2);
      updates = argv[(i += 1)];
    } else if (arg === '--help' || arg === '-h') {
      usage(0);
    } else {
      process.stderr.write(`unknown argument: ${arg}\n`);
      usage(2);
    }
  }
  return { port, bind, updates };
}

async function main() {
  const { port, bind, updates } = parseArgs(process.argv.slice(2));
  const server = new DevServer({ port, bind, updates });
  let bound;
  try {
    bound = await server.start();
  } catch (err) {
    process.stderr.write(`[devserver] cannot listen on ${bind}:${port}: ${err.message}\n`);
    process.exit(1);
  }
  // Every interface includes loopback, which is where this machine's own clients go.
  const local = bind === '0.0.0.0' ? LISTEN_HOST : bind;
  process.stdout.write(`devserver listening on http://${local}:${bound}\n`);

  let stopping = false;
  const shutdown = (signal) => {
    if (stopping) return;
    stopping = true;
    server.log(`${signal}: shutting down`);
    // Never hang on a stubborn peer.
    setTimeout(() => process.exit(0), 2000).unref();
    server.stop().then(
      () => process.exit(0),
      () => process.exit(0),
    );
  };
  process.on('SIGTERM', () => shutdown('SIGTERM'));
  process.on('SIGINT', () => shutdown('SIGINT'));
}

main();
