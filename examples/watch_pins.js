#!/usr/bin/env node
// SPDX-License-Identifier: MIT
// watch_pins.js: how to drive get_pin from a program of your own (Node.js 18
// or later, standard library only). It starts get_pin, asks "get", turns the
// reply line into a Map of pin -> level, prints the levels, then asks again
// every --interval seconds and prints a line for each level that changed, and
// ends with "exit":
//
//   start {3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0}
//   pin 7: 0 -> 1
//
// It stops after --polls requests, or sooner after --changes changes. It asks
// by the clock, without waiting for each reply: up to --in-flight requests go
// unanswered, and get_pin answers them in order. Asking every 0.02 s, it sees
// every high that get_pin has sampled on pin 18 while the round trip to get_pin
// stays under 35 ms plus --in-flight less one intervals: 175 ms at the
// defaults, for a board on the network (the README's Timing of pin 18). A
// reply later than --timeout seconds, or a get_pin that ends, ends it with one
// line and status 1, and its get_pin with it.
//
//   examples/watch_pins.js [--polls N] [--changes N] [--interval SECONDS]
//                          [--in-flight N] [--timeout SECONDS] [GET_PIN]
//
// GET_PIN is the get_pin command to run, its words separated by blanks, such as
// 'ssh pi@board get_pin' for a board on the network: the argument, else
// $GET_PIN, else get_pin on the PATH, else build/host/get_pin in the clone this
// example is in (the README's Quick start builds it there, for the simulated
// board). On a machine without a header, with the simulated board:
//
//   printf '%040d' 0 > levels
//   GET_PIN_SIM_LEVELS=levels examples/watch_pins.js
//   (and in another terminal, while it runs:  printf '%06d1%033d' 0 0 > levels)
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const { constants } = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { getSystemErrorMap } = require('node:util');

const me = path.basename(process.argv[1]);
const usage = `usage: ${me} [-h] [--polls N] [--changes N] [--interval SECONDS] [--in-flight N]
       [--timeout SECONDS] [GET_PIN]`;
const help = `${usage}

Print get_pin's levels and each change.

  GET_PIN              the get_pin command to run, its words separated by blanks, such as
                       'ssh pi@board get_pin' (default: $GET_PIN, else get_pin on the
                       PATH, else build/host/get_pin in this example's clone)
  -h, --help           show this help message and exit
  --polls N            requests at most (500)
  --changes N          stop after this many (0: no limit)
  --interval SECONDS   seconds between requests (0.02)
  --in-flight N        requests unanswered at most (8; 1: wait for each reply)
  --timeout SECONDS    seconds to wait for a reply (5)`;

// Ends this program at once with status 2 after a bad command line.
function usageError(message) {
  console.error(`${usage}\n${me}: error: ${message}`);
  process.exit(2);
}

// True if file is a program that this user may run.
function runnable(file) {
  try {
    fs.accessSync(file, fs.constants.X_OK);
    return fs.statSync(file).isFile();
  } catch {
    return false;
  }
}

// A command's words: "ssh pi@board get_pin" -> ["ssh", "pi@board", "get_pin"].
function words(command) {
  return command.split(/\s+/).filter((word) => word !== '');
}

// $GET_PIN's words, else get_pin on the PATH, else the clone's build/host/get_pin
// (a path that is one word, whatever blanks the clone's folder has).
function defaultCommand() {
  if (words(process.env.GET_PIN ?? '').length > 0) return words(process.env.GET_PIN);
  const onPath = (process.env.PATH ?? '').split(':').some((folder) => runnable(path.join(folder || '.', 'get_pin')));
  const cloneBuild = path.join(__dirname, '..', 'build', 'host', 'get_pin');
  return [onPath || !runnable(cloneBuild) ? 'get_pin' : cloneBuild];
}

function parseOptions(args) {
  const options = {
    command: defaultCommand(),
    polls: 500,
    changes: 0,
    interval: 0.02,
    inFlight: 8,
    timeout: 5,
  };
  const number = /^\+?(\d+\.?\d*|\.\d+)(e[+-]?\d+)?$/i;
  const numbers = new Map([
    ['--polls', { key: 'polls', kind: 'positive int', pattern: /^\+?0*[1-9]\d*$/ }],
    ['--changes', { key: 'changes', kind: 'non-negative int', pattern: /^\+?\d+$/ }],
    ['--interval', { key: 'interval', kind: 'non-negative number', pattern: number }],
    ['--in-flight', { key: 'inFlight', kind: 'positive int', pattern: /^\+?0*[1-9]\d*$/ }],
    ['--timeout', { key: 'timeout', kind: 'positive number', pattern: number, positive: true }],
  ]);
  let positionals = 0;
  for (let i = 0; i < args.length; i++) {
    const [name, inline] = args[i].startsWith('--') ? args[i].split(/=(.*)/s) : [args[i]];
    if (name === '-h' || name === '--help') {
      console.log(help);
      process.exit(0);
    } else if (numbers.has(name)) {
      const { key, kind, pattern, positive } = numbers.get(name);
      const value = inline ?? args[++i];
      if (value === undefined) usageError(`argument ${name}: expected one argument`);
      if (!pattern.test(value.trim()) || !Number.isFinite(Number(value)) || (positive && !(Number(value) > 0))) {
        usageError(`argument ${name}: invalid ${kind} value: '${value}'`);
      }
      options[key] = Number(value);
    } else if (name.startsWith('-') && name !== '-') {
      usageError(`unrecognized arguments: ${args[i]}`);
    } else if (positionals++ === 0) {
      options.command = words(name);
      if (options.command.length === 0) usageError(`argument GET_PIN: empty command: '${name}'`);
    } else {
      usageError(`unrecognized arguments: ${args[i]}`);
    }
  }
  return options;
}

// Prints "MESSAGE" as this program's one line on stderr and ends with status 1.
function fail(message) {
  console.error(`${me}: ${message}`);
  process.exit(1);
}

// "{3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }" -> Map {3 => 1, 7 => 0, ...}.
// A Map keeps the reply's order; an object's integer keys would be sorted.
function parseReply(reply) {
  const levels = new Map();
  for (const entry of reply.replace(/[{}\s]/g, '').split(',')) { // "3:1", ..., ""
    if (entry) {
      const [pin, level] = entry.split(':');
      levels.set(Number(pin), Number(level));
    }
  }
  return levels;
}

// The promise's value, or null once ms milliseconds have passed without one.
function within(promise, ms) {
  let timer;
  const late = new Promise((resolve) => { timer = setTimeout(resolve, ms, null); });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

// {3: 1, 7: 0, ...}, as the other examples print it.
function show(levels) {
  return `{${Array.from(levels, ([pin, level]) => `${pin}: ${level}`).join(', ')}}`;
}

async function main() {
  const options = parseOptions(process.argv.slice(2));

  // get_pin's standard input and output are pipes to this program; its
  // standard error stays ours, so that its one-line failure message shows.
  const [program, ...args] = options.command;
  const getPin = spawn(program, args, { stdio: ['pipe', 'pipe', 'inherit'] });
  const startError = await new Promise((resolve) => {
    getPin.once('spawn', () => resolve(null));
    getPin.once('error', resolve);
  });
  if (startError) {
    // "no such file or directory" -> "No such file or directory", as strerror has it
    const text = getSystemErrorMap().get(startError.errno)?.[1] ?? startError.code;
    fail(`start ${program}: ${text.charAt(0).toUpperCase()}${text.slice(1)}`);
  }
  // get_pin's status once it has ended: its exit status, or minus the signal.
  const status = new Promise((resolve) => {
    getPin.once('exit', (code, signal) => resolve(code ?? -constants.signals[signal]));
  });
  // A get_pin that has ended (say, it could not set up the board) is noticed
  // when its reply is missing, rather than by a write error ending this program.
  getPin.stdin.on('error', () => {});
  // Reply lines in the order they come; replies.next() waits for the next one.
  // A wait for it that timed out leaves it awaited, in nextReply.
  const replies = readline.createInterface({ input: getPin.stdout, crlfDelay: Infinity })[Symbol.asyncIterator]();
  let nextReply = null;

  // Ends get_pin (SIGKILL: a stopped or hung one heeds no other signal) and
  // this program, with message as its one line.
  async function stop(message) {
    getPin.kill('SIGKILL');
    await status;
    fail(message);
  }

  const asked = []; // when each request not yet answered was sent (ms)
  let polls = 0;
  let changes = 0;
  let levels = null;
  let nextAsk = performance.now();
  while (polls < options.polls || asked.length > 0) {
    const now = performance.now();
    // One request until the first reply: a slow start (ssh logging in) would
    // bring the next ones to get_pin all at once.
    const mayAsk = polls < options.polls && asked.length < (levels === null ? 1 : options.inFlight);
    if (mayAsk && now >= nextAsk) {
      getPin.stdin.write('get\n'); // a pipe's write leaves at once, nothing to flush
      asked.push(now);
      polls++;
      // By the clock, but half an interval after this request at the soonest:
      // after a wait for a reply, a burst would leave get_pin a gap as long.
      nextAsk = Math.max(nextAsk + options.interval * 1000, now + options.interval * 500);
      continue;
    }
    // The reply, until the oldest request's bound or the next request.
    const deadline = Math.min(asked.length > 0 ? asked[0] + options.timeout * 1000 : Infinity,
      mayAsk ? nextAsk : Infinity);
    nextReply ??= replies.next();
    const reply = await within(nextReply, Math.max(deadline - now, 0));
    if (reply === null) {
      if (asked.length > 0 && performance.now() >= asked[0] + options.timeout * 1000) {
        await stop(`no reply from get_pin in ${options.timeout} s`);
      }
      continue; // time to ask again
    }
    nextReply = null;
    if (reply.done) await stop(`get_pin ended (status ${await status})`);
    asked.shift();
    const latest = parseReply(reply.value); // "{3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }"
    if (levels === null) {
      console.log(`start ${show(latest)}`);
      levels = latest;
    }
    for (const [pin, level] of latest) {
      if (level !== levels.get(pin)) {
        console.log(`pin ${pin}: ${levels.get(pin)} -> ${level}`);
        changes++;
      }
    }
    levels = latest;
    if (options.changes && changes >= options.changes) break;
  }

  getPin.stdin.end('exit\n');
  process.exitCode = await status; // 0 after exit
}

main();
