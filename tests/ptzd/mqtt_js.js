// MQTT.js (npm mqtt), MQTT 5: asks a ptzd head to move through a broker,
// with a response topic under ptzd's reply tree and correlation data, and
// prints the answer as one JSON line, then the head's retained state.
//   node mqtt_js.js NODE_MODULES PORT BASE HEAD PAN
const path = require("path");
const [modules, port, base, head, pan] = process.argv.slice(2);
const mqtt = require(path.join(modules, "mqtt"));

const client = mqtt.connect(`mqtt://127.0.0.1:${port}`, { protocolVersion: 5, reconnectPeriod: 0 });
const reply = `${base}/reply/mqttjs-${process.pid}`;
const correlation = Buffer.from(`ask-${Date.now()}`);
const timer = setTimeout(() => { console.error("no answer"); process.exit(1); }, 20000);
client.on("error", (e) => { console.error(String(e)); process.exit(1); });
client.on("connect", () => {
  client.subscribe(reply, { qos: 1 }, (err) => {
    if (err) { console.error(String(err)); process.exit(1); }
    client.publish(`${base}/${head}/cmd/pan`, String(pan),
                   { qos: 1, properties: { responseTopic: reply, correlationData: correlation } });
  });
});
client.on("message", (topic, payload, packet) => {
  if (topic === reply) {
    const same = packet.properties && Buffer.compare(packet.properties.correlationData, correlation) === 0;
    console.log(JSON.stringify({ answer: JSON.parse(payload.toString()), correlated: same }));
    clearTimeout(timer);
    client.end();
  }
});
