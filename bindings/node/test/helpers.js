'use strict';
// A reader on a fresh simulator for each test, both closed whatever happens.

const fs = require('node:fs');
const path = require('node:path');
const { Reader } = require('..');
const { Simulator } = require('../lib/testing');

async function withReader(scenario, body, { baud = null, timeout = 5 } = {}) {
  const sim = await Simulator.start(scenario, { baud });
  let reader = null;
  try {
    reader = await Reader.open(sim.port, { timeout });
    return await body(reader, sim);
  } finally {
    if (reader) {
      reader.cancel();
      await reader.close();
    }
    await sim.stop();
  }
}

/** The frames the simulator received so far. */
function hostFrames(sim) {
  const log = path.join(path.dirname(sim.port), 'frames.log');
  return fs.readFileSync(log, 'utf8').split('\n').filter((line) => line.includes(' host> '));
}

module.exports = { withReader, hostFrames };
