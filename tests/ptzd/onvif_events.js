// npm onvif's events (CreatePullPointSubscription, then PullMessages in a
// loop) against a ptzd head: prints each event's topic and data as one JSON
// line until it has seen a move finish and a preset reached.
//   node onvif_events.js HOST ONVIF_PORT USER PASSWORD
const {Cam} = require('onvif');
const [host, port, user, password] = process.argv.slice(2);

const cam = new Cam({hostname: host, port: +port, username: user, password, path: '/onvif/device_service'}, err => {
  if (err) { console.log(JSON.stringify({error: String(err)})); process.exit(1); }
  const seen = new Set();
  cam.on('event', message => {
    const topic = message.topic._.replace(/^[^:]*:/, '');
    const items = [].concat(message.message.message.data.simpleItem || []);
    const data = {};
    for (const item of items) data[item.$.Name] = item.$.Value;
    console.log(JSON.stringify({topic, data}));
    seen.add(topic);
    if (seen.has('PTZController/PTZMove/Finished') && seen.has('PTZController/PTZPresets/Reached')) process.exit(0);
  });
  // The library creates its pull point on its own once a listener is added:
  // "subscribed" only when the gateway has answered that request, so that
  // the caller's move is never made before the subscription exists.
  const ready = setInterval(() => {
    if (cam.events && cam.events.terminationTime) {
      clearInterval(ready);
      console.log(JSON.stringify({subscribed: true}));
    }
  }, 10);
});
setTimeout(() => { console.log(JSON.stringify({error: 'timed out'})); process.exit(2); }, 60000);
