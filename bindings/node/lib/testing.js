'use strict';
// The reader simulator for tests: qd500-sim on a pseudo-terminal, driven
// through its control socket and stopped by its process id.
//
//   const sim = await Simulator.start({ card: { type: 'S4442' } });
//   try { const reader = await Reader.open(sim.port); ... } finally { await sim.stop(); }
//
// The simulator is QD500_SIM where that is set, else qd500-sim on PATH.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const START_MS = 10000;
const running = new Set();

class SimulatorError extends Error {}

function word(value, what) {
  // Control lines are split at blanks: a word must hold none.
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string, not ${typeof value}`);
  if (!value || value === '-' || /\s/.test(value)) throw new RangeError(`${what} must be a non-empty text without blanks: ${JSON.stringify(value)}`);
  return value;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/** qd500-sim --pty with a scenario (an object as its JSON scenario; null:
 * the simulator's default, a CPU card); baud paces the line (null: unpaced).
 * port is a link to the simulator's pty. */
class Simulator {
  constructor(scenario = null, { baud = null, executable = process.env.QD500_SIM || 'qd500-sim' } = {}) {
    this.scenario = scenario;
    this.baud = baud;
    this.executable = executable;
    this.port = '';
    this._dir = null;
    this._process = null;
    this._control = null;
    this._answers = [];
  }

  static async start(scenario = null, options = {}) {
    return new Simulator(scenario, options).start();
  }

  get pid() {
    return this._process ? this._process.pid : null;
  }

  async start() {
    this._dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qd500-sim-'));
    const file = (name) => path.join(this._dir, name);
    const args = ['--pty', '--control', file('control'), '--log', file('frames.log'), '--link', file('port')];
    if (this.scenario !== null) {
      fs.writeFileSync(file('scenario.json'), JSON.stringify(this.scenario));
      args.push('--scenario', file('scenario.json'));
    }
    if (this.baud !== null) args.push('--baud', String(this.baud));
    // Files, not pipes: new slave paths after hang-ups never fill a pipe nobody reads.
    const out = fs.openSync(file('stdout'), 'w');
    const err = fs.openSync(file('stderr'), 'w');
    try {
      this._process = spawn(this.executable, args, { stdio: ['ignore', out, err] });
    } finally {
      fs.closeSync(out);
      fs.closeSync(err);
    }
    running.add(this);
    let spawnError = null;
    this._process.on('error', (error) => { spawnError = error; });
    this._process.on('exit', () => { this._exited = true; });
    try {
      const deadline = Date.now() + START_MS;
      for (;;) {
        if (spawnError) throw new SimulatorError(`qd500-sim did not start: ${spawnError.message}`);
        if (this._exited) throw new SimulatorError('qd500-sim ended: ' + fs.readFileSync(file('stderr'), 'utf8').trim());
        if (fs.readFileSync(file('stdout'), 'utf8').includes('\n')) {
          this._control = await this._connect(file('control'));
          if (this._control) break;
        }
        if (Date.now() > deadline) throw new SimulatorError('qd500-sim did not start in time');
        await sleep(10);
      }
      this.port = file('port');
    } catch (error) {
      await this.stop();
      throw error;
    }
    return this;
  }

  _connect(socketPath) {
    // The socket is bound after the pty is served: try until it is.
    return new Promise((resolve) => {
      const socket = net.connect(socketPath);
      socket.once('connect', () => {
        socket.removeAllListeners('error');
        socket.on('error', () => {});
        let text = '';
        socket.on('data', (chunk) => {
          text += chunk.toString('utf8');
          let end;
          while ((end = /(^|\n)(ok|error: [^\n]*)\n/.exec(text)) !== null) {
            const stop = end.index + end[0].length;
            const answer = text.slice(0, stop);
            text = text.slice(stop);
            const waiting = this._answers.shift();
            if (waiting) waiting(answer);
          }
        });
        resolve(socket);
      });
      socket.once('error', () => resolve(null));
    });
  }

  /** Stops the simulator by its process id (SIGTERM, then SIGKILL) and removes its files. */
  async stop() {
    running.delete(this);
    if (this._control) {
      this._control.destroy();
      this._control = null;
    }
    const child = this._process;
    this._process = null;
    if (child && child.exitCode === null && child.signalCode === null && !this._exited) {
      const ended = new Promise((resolve) => child.once('exit', resolve));
      child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
      await ended;
      clearTimeout(timer);
    }
    if (this._dir) {
      fs.rmSync(this._dir, { recursive: true, force: true });
      this._dir = null;
    }
  }

  /** Puts a fresh card of that type ("S4442", "CPU", ...) into the slot. */
  insert(type) {
    return this.command('insert ' + word(type, 'card type'));
  }

  /** Takes the card out of the slot. */
  remove() {
    return this.command('remove');
  }

  /** Swipes a card past the head; null (or "-") for a track it cannot read. */
  swipe(track2, track3) {
    const texts = [track2, track3].map((t) => (t === null || t === '-' ? '-' : word(t, 'track')));
    return this.command('swipe ' + texts.join(' '));
  }

  /** The slot, the head and the card's whole state, as text. */
  dump() {
    return this.command('dump');
  }

  /** One control line; the answer's text before its closing "ok". */
  command(line) {
    if (!this._control) return Promise.reject(new SimulatorError('the simulator is not running'));
    return new Promise((resolve, reject) => {
      this._answers.push((answer) => {
        const lines = answer.replace(/\n$/, '').split('\n');
        const last = lines.pop();
        if (last === 'ok') resolve(lines.join('\n'));
        else reject(new SimulatorError(`${line}: ${last}`));
      });
      this._control.write(line + '\n');
    });
  }
}

// A simulator left running when the process ends is stopped by its id.
process.on('exit', () => {
  for (const sim of running) {
    if (sim._process && sim._process.exitCode === null) sim._process.kill('SIGKILL');
  }
});

/** Runs body(sim) with a started simulator, stopped whatever happens. */
async function withSimulator(scenario, options, body) {
  if (typeof options === 'function') [options, body] = [{}, options];
  const sim = await Simulator.start(scenario, options);
  try {
    return await body(sim);
  } finally {
    await sim.stop();
  }
}

module.exports = { Simulator, SimulatorError, withSimulator };
