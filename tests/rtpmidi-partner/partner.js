// An RTP-MIDI partner for Tandem's tests, on the npm package `rtpmidi` (another implementation of
// the protocol than ours). It listens on --port (control) and --port + 1 (data), or invites
// --invite HOST:PORT, and is driven line by line on standard input:
//   on NOTE VELOCITY | off NOTE | chord NOTE... (note-ons sent together) | bye | quit
// It prints one line per happening on standard output:
//   ready | connected NAME | synced | midi HEX... | ended | sent N
// The package sends MIDI only once its first clock sync is done ("synced"), and only with the
// (time, bytes) form of Session.sendMessage.
'use strict';

const path = require('path');
const readline = require('readline');

const modules = process.env.TANDEM_NPM_MODULES || path.join(__dirname, 'node_modules');
const rtpmidi = require(path.join(modules, 'rtpmidi'));

rtpmidi.logger.level = 'error';
rtpmidi.logger.transports.forEach((t) => { t.stderrLevels = { error: true, warn: true }; });

const args = { port: 5004, name: 'npm partner', invite: null };
for (let i = 2; i < process.argv.length; i += 2) {
  const value = process.argv[i + 1];
  if (process.argv[i] === '--port') args.port = Number(value);
  else if (process.argv[i] === '--name') args.name = value;
  else if (process.argv[i] === '--invite') args.invite = value;
  else {
    process.stderr.write(`partner.js: unknown option ${process.argv[i]}\n`);
    process.exit(2);
  }
}

function say(line) {
  process.stdout.write(`${line}\n`);
}

const session = new rtpmidi.Session(args.port, args.name, args.name);
let synced = false;
let ended = false;

session.on('ready', () => {
  say('ready');
  if (args.invite) {
    const colon = args.invite.lastIndexOf(':');
    session.connect({
      address: args.invite.slice(0, colon),
      port: Number(args.invite.slice(colon + 1)),
    });
  }
});
session.on('streamAdded', (event) => say(`connected ${event.stream.name}`));
session.on('streamRemoved', () => {
  if (!ended) say('ended');
  ended = true;
});
session.on('message', (deltaTime, message) => {
  say(`midi ${Buffer.from(message).toString('hex')}`);
});
session.on('error', (error) => process.stderr.write(`partner.js: ${error}\n`));

// Its streams send nothing before their first clock sync.
const syncWatch = setInterval(() => {
  const stream = session.getStreams()[0];
  if (!synced && stream && stream.latency !== null && stream.timeDifference !== null) {
    synced = true;
    say('synced');
  }
}, 20);

function send(messages) {
  const time = session.startTime + session.now();
  messages.forEach((bytes) => session.sendMessage(time, bytes));
  say(`sent ${messages.length}`);
}

function leave(exit) {
  clearInterval(syncWatch);
  // BY on the control port, then the sockets close.
  session.end(() => {
    if (!ended) say('ended');
    ended = true;
    if (exit) process.exit(0);
  });
}

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  const words = line.trim().split(/\s+/);
  const numbers = words.slice(1).map(Number);
  switch (words[0]) {
    case 'on':
      send([[0x90, numbers[0], numbers[1]]]);
      break;
    case 'off':
      send([[0x80, numbers[0], 0x40]]);
      break;
    case 'chord':
      send(numbers.map((note) => [0x90, note, 100]));
      break;
    case 'bye':
      leave(false);
      break;
    case 'quit':
      leave(true);
      break;
    default:
      break;
  }
}).on('close', () => leave(true));

session.start();
