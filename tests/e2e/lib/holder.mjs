// Holds many idle connections to 127.0.0.1:PORT for a test. It runs as a
// process of its own because node cannot raise its own descriptor limit:
// the test starts it under a shell that has raised it.
//
//   node holder.mjs PORT COUNT
//
// Opens COUNT connections in batches and prints "held COUNT" once every one
// is established. Commands on standard input, one a line:
//   close-one   closes the first connection, prints "closed-one"
// When every connection still open has been closed by the server it prints
// "server-closed N BYTES": how many it closed and how many bytes they brought.
// It exits when its standard input ends.
import net from 'node:net';
import readline from 'node:readline';

const [port, count] = process.argv.slice(2).map(Number);
const BATCH = 500;
const sockets = [];
let closedByServer = 0;
let closedByUs = 0;
let bytes = 0;
let held = false;

function reportIfAllClosed() {
  if (held && closedByServer + closedByUs === count) console.log(`server-closed ${closedByServer} ${bytes}`);
}

function open() {
  return new Promise((resolve) => {
    const sock = net.connect({ host: '127.0.0.1', port });
    sock.on('connect', () => resolve());
    sock.on('data', (d) => { bytes += d.length; });
    sock.on('error', (e) => {
      if (!held) {
        console.log(`error ${e.code}`);
        process.exit(1);
      }
    });
    sock.on('close', () => {
      if (sock.closedByUs) return;
      closedByServer++;
      reportIfAllClosed();
    });
    sockets.push(sock);
  });
}

for (let opened = 0; opened < count; opened += BATCH) {
  const batch = [];
  for (let i = opened; i < Math.min(count, opened + BATCH); i++) batch.push(open());
  await Promise.all(batch);
}
held = true;
console.log(`held ${count}`);

const commands = readline.createInterface({ input: process.stdin });
commands.on('line', (line) => {
  if (line === 'close-one') {
    sockets[0].closedByUs = true;
    closedByUs++;
    sockets[0].destroy();
    console.log('closed-one');
  }
});
commands.on('close', () => {
  for (const sock of sockets) sock.destroy();
  process.exit(0);
});
