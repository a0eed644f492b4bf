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
// It stops after --polls requests, or sooner after --changes changes. Asking
// every 0.02 s, it sees every high that get_pin has sampled on pin 18 (the
// README's Timing of pin 18 says how often a controller must ask).
//
//   examples/watch_pins.js [--polls N] [--changes N] [--interval SECONDS] [GET_PIN]
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
const { setTimeout: sleep } = require('node:timers/promises');
const { getSystemErrorMap } = require('node:util');

const me = path.basename(process.argv[1]);
const usage = `usage: ${me} [-h] [--polls N] [--changes N] [--interval SECONDS] [GET_PIN]`;
const help = `${usage}

Print get_pin's levels and each change.

  GET_PIN              the get_pin command to run, its words separated by blanks, such as
                       'ssh pi@board get_pin' (default: $GET_PIN, else get_pin on the
                       PATH, else build/host/get_pin in this example's clone)
  -h, --help           show this help message and exit
  --polls N            requests at most (500)
  --changes N          stop after this many (0: no limit)
  --interval SECONDS   seconds between requests (0.02)`;

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
  };
  const numbers = new Map([
    ['--polls', { key: 'polls', kind: 'positive int', pattern: /^\+?0*[1-9]\d*$/ }],
    ['--changes', { key: 'changes', kind: 'non-negative int', pattern: /^\+?\d+$/ }],
    ['--interval', { key: 'interval', kind: 'non-negative number', pattern: /^\+?(\d+\.?\d*|\.\d+)(e[+-]?\d+)?$/i }],
  ]);
  let positionals = 0;
  for (let i = 0; i < args.length; i++) {
    const [name, inline] = args[i].startsWith('--') ? args[i].split(/=(.*)/s) : [args[i]];
    if (name === '-h' || name === '--help') {
      console.log(help);
      process.exit(0);
    } else if (numbers.has(name)) {
      const { key, kind, pattern } = numbers.get(name);
      const value = inline ?? args[++i];
      if (value === undefined) usageError(`argument ${name}: expected one argument`);
      if (!pattern.test(value.trim()) || !Number.isFinite(Number(value))) {
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
  const replies = readline.createInterface({ input: getPin.stdout, crlfDelay: Infinity })[Symbol.asyncIterator]();

  // Sends "get" and returns the reply as a Map of pin -> level, in reply order.
  async function ask() {
    getPin.stdin.write('get\n'); // a pipe's write leaves at once, nothing to flush
    const reply = await replies.next(); // "{3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }"
    if (reply.done) fail(`get_pin ended (status ${await status})`);
    return parseReply(reply.value);
  }

  let levels = await ask();
  console.log(`start ${show(levels)}`);
  let changes = 0;
  for (let poll = 1; poll < options.polls; poll++) {
    if (options.changes && changes >= options.changes) break;
    await sleep(options.interval * 1000);
    const now = await ask();
    for (const [pin, level] of now) {
      if (level !== levels.get(pin)) {
        console.log(`pin ${pin}: ${levels.get(pin)} -> ${level}`);
        changes++;
      }
    }
    levels = now;
  }

  getPin.stdin.end('exit\n');
  process.exitCode = await status; // 0 after exit
}

main();
