// Runs one segmentation model under TensorFlow.js (WASM backend, SIMD, one thread) over a
// sequence of input frames and writes the matte of every frame, for the engine's golden tests.
// Usage:
//   node run_model.js --models DIR --model rvm|selfie --h H --w W [--ratio R]
//                     --frames a.f32[,b.f32...] --out OUTDIR [--backend wasm|cpu]
// Each frame is raw little-endian float32 NHWC [1,H,W,3], RGB in 0..1. rvm starts from zero
// states [1,1,1,1] and feeds r1o..r4o back from one frame to the next, as a video loop does.
// Writes OUTDIR/out_<k>.f32: rvm's pha or selfie's probability for frame k, float32 [H,W].
// --backend cpu (plain JS kernels, slow) gives a second opinion on how far two correct
// implementations drift apart. Must sit next to the node_modules of tfjs-reference/ (the make
// script copies it there).
'use strict';
const fs = require('fs');
const path = require('path');
const tf = require('@tensorflow/tfjs-core');
require('@tensorflow/tfjs-backend-cpu');
const wasm = require('@tensorflow/tfjs-backend-wasm');
const tfconv = require('@tensorflow/tfjs-converter');

function arg(name, def) {
  const i = process.argv.indexOf('--' + name);
  if (i >= 0) return process.argv[i + 1];
  if (def === undefined) { console.error(`--${name} is required`); process.exit(2); }
  return def;
}
const modelsDir = arg('models');
const modelName = arg('model');
const H = parseInt(arg('h'));
const W = parseInt(arg('w'));
const ratio = parseFloat(arg('ratio', '1'));
const frames = arg('frames').split(',');
const outDir = arg('out');
const backend = arg('backend', 'wasm');

function fileHandler(jsonPath) {
  return {
    load: async () => {
      const j = JSON.parse(fs.readFileSync(jsonPath, 'utf8'));
      const dir = path.dirname(jsonPath);
      const specs = [];
      const bufs = [];
      for (const g of j.weightsManifest) {
        for (const w of g.weights) specs.push(w);
        for (const p of g.paths) bufs.push(fs.readFileSync(path.join(dir, p)));
      }
      const all = Buffer.concat(bufs);
      return {
        modelTopology: j.modelTopology, weightSpecs: specs,
        weightData: all.buffer.slice(all.byteOffset, all.byteOffset + all.byteLength),
        format: j.format, signature: j.signature,
      };
    },
  };
}

function readFrame(file) {
  const b = fs.readFileSync(file);
  if (b.byteLength !== H * W * 3 * 4) throw new Error(`${file}: ${b.byteLength} bytes, expected ${H * W * 12}`);
  const f = new Float32Array(b.byteLength / 4);
  new Uint8Array(f.buffer).set(b);
  return tf.tensor4d(f, [1, H, W, 3]);
}

async function main() {
  if (backend === 'wasm') {
    wasm.setWasmPaths(path.join(path.dirname(require.resolve('@tensorflow/tfjs-backend-wasm')), '/'));
    tf.env().set('WASM_HAS_SIMD_SUPPORT', true);
    tf.env().set('WASM_HAS_MULTITHREAD_SUPPORT', false);
  }
  await tf.setBackend(backend);
  await tf.ready();
  const model = await tfconv.loadGraphModel(fileHandler(path.join(modelsDir, modelName + '.json')));
  fs.mkdirSync(outDir, { recursive: true });

  const z = tf.zeros([1, 1, 1, 1]);
  let state = [z, z, z, z];
  for (let k = 0; k < frames.length; k++) {
    const src = readFrame(frames[k]);
    let matte;
    if (modelName === 'rvm') {
      const dr = tf.scalar(ratio);
      const outs = await model.executeAsync(
        { src, r1i: state[0], r2i: state[1], r3i: state[2], r4i: state[3], downsample_ratio: dr },
        ['fgr', 'pha', 'r1o', 'r2o', 'r3o', 'r4o']);
      dr.dispose();
      outs[0].dispose();
      matte = outs[1];
      state = outs.slice(2);
    } else {
      matte = model.execute(src);
    }
    src.dispose();
    if (matte.size !== H * W) throw new Error(`output shape ${matte.shape}, expected ${H}x${W}`);
    const data = await matte.data();
    fs.writeFileSync(path.join(outDir, `out_${k}.f32`), Buffer.from(data.buffer, data.byteOffset, data.byteLength));
    matte.dispose();
  }
}
main().then(() => process.exit(0)).catch((e) => { console.error(e); process.exit(1); });
