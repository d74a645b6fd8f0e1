// Drives ptzd's VISCA over IP port with the VISCA over IP device of Sofie's
// playout engine (npm timeline-state-resolver): its own UDP socket, its own
// message classes.
//   node visca_tsr.js NODE_MODULES PORT STEP...
// STEP: right | left | up | stop | store N | recall N | reset N (N: memory number)
// Exits once every message has been sent and answered (or after 10 s, failing).
const path = require("path");
const [modules, port, ...steps] = process.argv.slice(2);
const visca = require(path.join(modules, "timeline-state-resolver/dist/integrations/viscaOverIP/connection"));
const { PanTiltDirection, PresetOperation } = visca.Enums;

const device = new visca.ViscaDevice("127.0.0.1", Number(port), false, () => {});
device.connect();  // sends the control command RESET first
const speed = 0x01;  // the slowest: the test stops the head long before its limit
for (let i = 0; i < steps.length; i++) {
  const step = steps[i];
  let command;
  if (step === "right") command = new visca.ViscaCommands.PanTiltDriveCommand(PanTiltDirection.Right, speed, speed);
  else if (step === "left") command = new visca.ViscaCommands.PanTiltDriveCommand(PanTiltDirection.Left, speed, speed);
  else if (step === "up") command = new visca.ViscaCommands.PanTiltDriveCommand(PanTiltDirection.Up, speed, speed);
  else if (step === "stop") command = new visca.ViscaCommands.PanTiltDriveCommand(PanTiltDirection.Stop, speed, speed);
  else {
    const operation = {store: PresetOperation.Set, recall: PresetOperation.Recall, reset: PresetOperation.Reset}[step];
    command = new visca.ViscaCommands.PresetCommand(operation, Number(steps[++i]));
  }
  device.sendCommand(command).catch(() => {});
}
// Its socket moves to the next message when the camera answers the one in
// flight; done when nothing is queued or in flight.
const socket = device._socket;
const deadline = Date.now() + 10000;
const timer = setInterval(() => {
  if (socket._queue.length === 0 && !socket._inFlight) {
    clearInterval(timer);
    process.exit(0);
  }
  if (Date.now() > deadline) {
    console.error("timeline-state-resolver's VISCA device got no answer");
    process.exit(1);
  }
}, 20);
