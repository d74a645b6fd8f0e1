// Two ONVIF client libraries nobody here wrote, against a ptzd head: every
// step prints one JSON line; the test checks the head's state after each.
//   node onvif_clients.js HOST ONVIF_PORT USER PASSWORD HTTP_PORT HEAD
const http = require('http');
const {Cam} = require('onvif');
const OnvifDevice = require('node-onvif').OnvifDevice;

const [host, port, user, password, httpPort, head] = process.argv.slice(2);
const say = (step, data) => console.log(JSON.stringify({step, ...data}));
const sleep = ms => new Promise(r => setTimeout(r, ms));

// The head's own position, read through the gateway's HTTP API.
function headPosition() {
  return new Promise((resolve, reject) => {
    http.get({host, port: httpPort, path: `/api/heads/${head}/GetPTPos`}, res => {
      let body = '';
      res.on('data', c => body += c);
      res.on('end', () => resolve(JSON.parse(body)));
    }).on('error', reject);
  });
}

function call(cam, method, ...args) {
  return new Promise((resolve, reject) => cam[method](...args, (err, data) => err ? reject(err) : resolve(data)));
}

async function untilStill(cam) {
  for (let i = 0; i < 100; i++) {
    const status = await call(cam, 'getStatus', {});
    if (status.moveStatus.panTilt === 'IDLE') return status;
    await sleep(100);
  }
  throw new Error('the head never came to rest');
}

async function main() {
  const cam = await new Promise((resolve, reject) => {
    const c = new Cam({hostname: host, port: +port, username: user, password, path: '/onvif/device_service'},
      err => err ? reject(err) : resolve(c));
  });
  say('connect', {profiles: cam.profiles.length, ptz: !!cam.profiles[0].PTZConfiguration,
                  video: !!cam.profiles[0].videoEncoderConfiguration});
  say('getStreamUri', await call(cam, 'getStreamUri', {protocol: 'RTSP'}));
  say('getStatus', {status: await call(cam, 'getStatus', {})});

  await call(cam, 'absoluteMove', {x: 0.5, y: -0.5, zoom: 0});
  say('absoluteMove', {status: await untilStill(cam), head: await headPosition()});

  await call(cam, 'relativeMove', {x: -0.25, y: 0.25});
  say('relativeMove', {status: await untilStill(cam), head: await headPosition()});

  await call(cam, 'continuousMove', {x: 1, y: 0});
  await sleep(400);
  const moving = await call(cam, 'getStatus', {});
  await call(cam, 'stop', {panTilt: true, zoom: true});
  const stopped = await untilStill(cam);
  await sleep(300);
  say('continuousMove+stop', {moving: moving.moveStatus.panTilt, head: await headPosition(), after: await headPosition()});

  await call(cam, 'continuousMove', {x: -1, y: 0, timeout: 500});
  await sleep(1500);
  const first = await headPosition();
  await sleep(300);
  say('continuousMove+timeout', {head: first, after: await headPosition()});

  await call(cam, 'setPreset', {presetName: 'door'});
  const token = (await call(cam, 'getPresets', {})).door.$.token;
  const atPreset = await headPosition();
  await call(cam, 'absoluteMove', {x: 0, y: 0});
  await untilStill(cam);
  await call(cam, 'gotoPreset', {preset: token});
  await untilStill(cam);
  const presets = await call(cam, 'getPresets', {});
  say('presets', {token, presets, stored: atPreset, head: await headPosition()});
  await call(cam, 'removePreset', {presetToken: token});
  say('removePreset', {presets: await call(cam, 'getPresets', {})});

  await call(cam, 'absoluteMove', {x: -0.5, y: 0.5});
  await untilStill(cam);
  await call(cam, 'setHomePosition', {});
  const home = await headPosition();
  await call(cam, 'absoluteMove', {x: 0.9, y: 0.9});
  await untilStill(cam);
  await call(cam, 'gotoHomePosition', {});
  await untilStill(cam);
  say('home', {home, head: await headPosition()});

  // node-onvif: init, a timed move, a stop.
  const device = new OnvifDevice({xaddr: `http://${host}:${port}/onvif/device_service`, user, pass: password});
  await device.init();
  const before = await headPosition();
  await device.ptzMove({speed: {x: 1.0, y: 0.0, z: 0.0}, timeout: 1});
  await sleep(300);
  await device.ptzStop();
  await sleep(300);
  const halted = await headPosition();
  await sleep(300);
  say('node-onvif', {info: device.getInformation(), before, halted, after: await headPosition()});
}

main().then(() => process.exit(0), err => { say('error', {message: String(err && err.message || err)}); process.exit(1); });
