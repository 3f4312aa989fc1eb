// Types of the simulator helper for tests.

export class SimulatorError extends Error {}

export class Simulator {
  constructor(scenario?: object | null, options?: { baud?: number | null; executable?: string });
  static start(scenario?: object | null, options?: { baud?: number | null; executable?: string }): Promise<Simulator>;
  readonly port: string;
  readonly pid: number | null;
  start(): Promise<this>;
  stop(): Promise<void>;
  insert(type: string): Promise<string>;
  remove(): Promise<string>;
  swipe(track2: string | null, track3: string | null): Promise<string>;
  dump(): Promise<string>;
  command(line: string): Promise<string>;
}

export function withSimulator<T>(scenario: object | null, body: (sim: Simulator) => Promise<T>): Promise<T>;
export function withSimulator<T>(
  scenario: object | null, options: { baud?: number | null }, body: (sim: Simulator) => Promise<T>): Promise<T>;
