// Drives a head through ptzd with the npm visca-over-ip library: its camera
// class over header-less UDP (the only transport it has), and its messages
// over TCP (the same bytes, written to a socket).
//   node visca_voip.js NODE_MODULES udp|tcp PORT STEP...
// STEP: abs PAN TILT (VISCA units) | right | stop | store N | recall N | where
// Each step waits for its completion (or, for `where`, its answer, printed as
// a JSON line {"pan": units, "tilt": units}); an error or 30 s without an
// answer fails.
const net = require("net");
const path = require("path");
const [modules, transport, port, ...steps] = process.argv.slice(2);
const { ViscaCamera, ViscaCommand } = require(path.join(modules, "visca-over-ip"));

function fail(why) {
  console.error(why);
  process.exit(1);
}

function commands() {
  const out = [];
  for (let i = 0; i < steps.length; i++) {
    const step = steps[i];
    if (step === "abs") {
      out.push(ViscaCommand.cameraPanTiltDirect(0x18, 0x14, Number(steps[i + 1]), Number(steps[i + 2])));
      i += 2;
    } else if (step === "right") out.push(ViscaCommand.cameraPanTilt(0x04, 0));
    else if (step === "stop") out.push(ViscaCommand.cameraPanTilt(0, 0));  // 81 01 06 01 00 00 03 03 FF
    else if (step === "store") out.push(ViscaCommand.cameraPresetSet(Number(steps[++i])));
    else if (step === "recall") out.push(ViscaCommand.cameraPresetRecall(Number(steps[++i])));
    else if (step === "where") out.push(new ViscaCommand({ messageType: 0x09, dataType: 0x06, data: [0x12] }));
    else fail(`unknown step ${step}`);
  }
  return out;
}

// The four nibbles 0p 0q 0r 0s of a signed 16-bit value.
function signed(n) {
  const v = (n[0] << 12) | (n[1] << 8) | (n[2] << 4) | n[3];
  return v >= 0x8000 ? v - 0x10000 : v;
}

function position(bytes) {
  // 90 50 0p 0q 0r 0s 0t 0u 0v 0w FF
  if (bytes.length !== 11) fail(`unexpected position answer ${Buffer.from(bytes).toString("hex")}`);
  console.log(JSON.stringify({ pan: signed(bytes.slice(2, 6)), tilt: signed(bytes.slice(6, 10)) }));
}

function overUdp(list) {
  const camera = new ViscaCamera("127.0.0.1", Number(port));
  let last = null;
  // The raw answer, kept before the library reads it: its parsed form drops
  // the first nibble of a position into a "data type".
  camera.client.prependListener("message", (data) => { last = [...data]; });
  camera.on("error", (e) => fail(String(e)));
  const next = () => {
    const command = list.shift();
    if (!command) {
      camera.client.close();
      return;
    }
    const timer = setTimeout(() => fail(`no answer to ${command.description || "an inquiry"}`), 30000);
    command.on("error", (e) => fail(String(e)));
    command.on("complete", () => {
      clearTimeout(timer);
      if (command.messageType === 0x09) position(last);
      next();
    });
    camera.sendCommand(command);
  };
  // Its "connected" event fires at once, before its socket is connected (a
  // send then throws): the socket's own event is the one to wait for.
  camera.client.once("connect", next);
}

function overTcp(list) {
  const socket = net.connect(Number(port), "127.0.0.1");
  let pending = [];
  let current = null;
  let timer = null;
  const next = () => {
    current = list.shift();
    if (!current) {
      socket.end();
      return;
    }
    timer = setTimeout(() => fail("no answer"), 30000);
    socket.write(Buffer.from(current.toPacket()));
  };
  socket.on("error", (e) => fail(String(e)));
  socket.on("connect", next);
  socket.on("data", (chunk) => {
    for (const b of chunk) {
      pending.push(b);
      if (b !== 0xff) continue;
      const message = pending;
      pending = [];
      const reply = ViscaCommand.fromPacket(message);
      if (reply.messageType === 0x40) continue;  // ACK: the completion follows
      if (reply.messageType === 0x60) fail(`error ${Buffer.from(message).toString("hex")}`);
      if (reply.messageType !== 0x50) continue;
      clearTimeout(timer);
      if (current.messageType === 0x09) position(message);
      next();
    }
  });
}

(transport === "tcp" ? overTcp : overUdp)(commands());
