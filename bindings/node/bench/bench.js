'use strict';
// The package against the C API in one run: an APDU round trip at 9600 baud,
// the same unpaced, and a call refused before anything is sent.
//   QD500_LIBRARY=BUILD/libqd500.so.0 QD500_SIM=BUILD/tools/sim/qd500-sim node bench/bench.js
// (needs a C compiler; include/qd500.h from this tree).

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const qd500 = require('..');
const { Simulator } = require('../lib/testing');

const ROUNDS = 5;
const CHALLENGE = Buffer.from('0084000008', 'hex');

function buildLoop() {
  const library = process.env.QD500_LIBRARY;
  if (!library) throw new Error('set QD500_LIBRARY to the library under test');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qd500-bench-'));
  const include = path.resolve(__dirname, '..', '..', '..', 'include');
  const out = path.join(dir, 'apdu-loop');
  execFileSync('cc', ['-O2', '-I', include, path.join(__dirname, 'apdu-loop.c'), library,
    `-Wl,-rpath,${path.dirname(library)}`, '-o', out]);
  return { out, dir };
}

async function packageLoop(port, count, refused) {
  const reader = await qd500.Reader.open(port);
  try {
    await reader.selectCard(refused ? 'S4442' : 'CPU');
    await reader.powerOn();
    const start = process.hrtime.bigint();
    for (let i = 0; i < count; i++) {
      if (refused) await reader.readMemory(0x100, 8).catch((error) => { if (error.result !== -1) throw error; });
      else await reader.transmit(CHALLENGE);
    }
    return Number(process.hrtime.bigint() - start) / 1e3 / count;
  } finally {
    await reader.close();
  }
}

async function compare(loop, label, baud, count, refused) {
  const sim = await Simulator.start(refused ? { card: { type: 'S4442' } } : null, { baud });
  const js = [];
  const c = [];
  try {
    for (let round = 0; round < ROUNDS; round++) {
      c.push(Number(execFileSync(loop, [sim.port, String(count), refused ? 'refused' : 'apdu'], { encoding: 'utf8' })));
      js.push(await packageLoop(sim.port, count, refused));
    }
  } finally {
    await sim.stop();
  }
  const median = (xs) => xs.slice().sort((a, b) => a - b)[xs.length >> 1];
  const [mj, mc] = [median(js), median(c)];
  console.log(`${label}: package ${mj.toFixed(1)} us, C ${mc.toFixed(1)} us a call; ratio ${(mj / mc).toFixed(4)}, ` +
    `overhead ${(mj - mc).toFixed(1)} us (medians of ${ROUNDS} rounds of ${count})`);
}

(async () => {
  const { out, dir } = buildLoop();
  try {
    await compare(out, 'APDU round trip at 9600 baud', 9600, 50, false);
    await compare(out, 'APDU round trip unpaced', null, 500, false);
    await compare(out, 'call refused before sending', null, 5000, true);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
})().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
