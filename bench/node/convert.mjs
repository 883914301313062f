// The peers' converters run for bench/forms_peers.py: one peer a process; on stdin {peer, sets: {name:
// [input or null]}, jobs: [{target, set, runs, keep}]}, on stdout {version, results: [{outputs, seconds}
// or {missing}]} or {error}. Only the peers' documented entry points are called.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const version = (name) => require(`${name}/package.json`).version;

// name -> () => {version, has(target), convert(target, input) -> [text, warnings] or a promise of it}
const PEERS = {
  httpsnippet: async () => {
    const { HTTPSnippet, availableTargets } = require('httpsnippet');
    return snippet(HTTPSnippet, availableTargets, version('httpsnippet'));
  },
  '@readme/httpsnippet': async () => {
    const { HTTPSnippet, availableTargets } = await import('@readme/httpsnippet');
    return snippet(HTTPSnippet, availableTargets, version('@readme/httpsnippet'));
  },
  'postman-code-generators': async () => {
    const codegen = require('postman-code-generators');
    const { Request } = require('postman-collection');
    const languages = codegen.getLanguageList();
    return {
      version: version('postman-code-generators'),
      has: ([language, variant]) => languages.some((l) => l.key === language && l.variants.some((v) => v.key === variant)),
      convert: ([language, variant], item) => new Promise((resolve, reject) => {
        codegen.convert(language, variant, new Request(item), {}, (error, text) => (error ? reject(error) : resolve([text, []])));
      }),
    };
  },
  curlconverter: async () => {
    const converters = await import('curlconverter');
    return {
      version: version('curlconverter'),
      has: ([name]) => typeof converters[name] === 'function',
      // The ...Warn entry points give [code, [[kind, message], ...]].
      convert: ([name], command) => {
        const [text, warnings] = converters[name](command);
        return [text, warnings.map((w) => w.join(': '))];
      },
    };
  },
};

function snippet(HTTPSnippet, availableTargets, v) {
  const targets = availableTargets();
  return {
    version: v,
    has: ([target, client]) => targets.some((t) => t.key === target && t.clients.some((c) => c.key === client)),
    convert: async (which, har) => {
      let text = await new HTTPSnippet(har).convert(...which);
      if (Array.isArray(text)) [text] = text;
      if (typeof text !== 'string') throw new Error(`no output (${text})`);
      return [text, []];
    },
  };
}

async function run(peer, job, all) {
  if (!peer.has(job.target)) return { missing: `${job.target.join('/')} is not among its targets` };
  const inputs = all.filter((input) => input !== null);
  // The first pass keeps what was written (when asked); the timed passes after it find the converter warm.
  const outputs = [];
  for (const input of all) {
    let output = null;
    if (input !== null) {
      try {
        const [text, warnings] = await peer.convert(job.target, input);
        output = { text, warnings };
      } catch (e) {
        output = { error: String(e && e.message ? e.message : e).slice(0, 300) };
      }
    }
    if (job.keep) outputs.push(output);
  }
  const seconds = [];
  for (let n = 0; n < job.runs; n++) {
    const start = process.hrtime.bigint();
    for (const input of inputs) {
      try {
        await peer.convert(job.target, input);
      } catch {
        // counted in the first pass; here only the time matters
      }
    }
    seconds.push(Number(process.hrtime.bigint() - start) / 1e9);
  }
  return { outputs, seconds };
}

const chunks = [];
for await (const chunk of process.stdin) chunks.push(chunk);
const { peer: name, sets, jobs } = JSON.parse(Buffer.concat(chunks).toString('utf8'));
let result;
try {
  const peer = await PEERS[name]();
  result = { version: peer.version, results: [] };
  for (const job of jobs) result.results.push(await run(peer, job, sets[job.set]));
} catch (e) {
  result = { error: String(e && e.stack ? e.stack.split('\n')[0] : e) };
}
process.stdout.write(JSON.stringify(result));
