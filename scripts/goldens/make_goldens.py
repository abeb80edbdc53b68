#!/usr/bin/python3
"""Makes the engine's golden fixtures: 8-bit PNG inputs cut from photos and a clip of people
that Debian ships, and the reference mattes TensorFlow.js computes from them, stored as 16-bit
grey PNGs (value = round(matte * 65535), so the stored matte is within 7.7e-6 of the reference).

The test feeds the engine byte / 255 in float32, exactly what this script feeds the reference.

    make_goldens.py --tool DIR --models DIR --out DIR [--compare-backend cpu] [--only NAME,...]
DIR of --tool holds run_model.js next to an installed node_modules (see make_engine_goldens.sh).
--only remakes the named goldens from the inputs already in --out (the inputs are not remade).
--compare-backend runs the committed inputs through another TensorFlow.js backend and prints how
far its mattes are from the committed goldens, without writing anything: the spread between two
correct implementations, against which the tests' tolerance is set.
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image
from skimage.transform import resize

OPENCV_DATA = '/usr/share/doc/opencv-doc/examples/data'
ASTRONAUT = '/usr/lib/python3/dist-packages/skimage/data/astronaut.png'

# (model, golden name, input PNG names one per frame, height, width, downsample ratio)
CASES = [
    ('rvm', 'rvm_astronaut_h257w193_r1', ['astronaut_h257w193.png'] * 3, 257, 193, 1.0),
    ('rvm', 'rvm_astronaut_h257w193_r0.4', ['astronaut_h257w193.png'] * 3, 257, 193, 0.4),
    ('rvm', 'rvm_messi_h193w257_r1', ['messi_h193w257.png'] * 3, 193, 257, 1.0),
    ('rvm', 'rvm_messi_h193w257_r0.4', ['messi_h193w257.png'] * 3, 193, 257, 0.4),
    ('rvm', 'rvm_street_h540w960_r0.4',
     ['street_h540w960_0.png', 'street_h540w960_1.png', 'street_h540w960_2.png'], 540, 960, 0.4),
    # network long side 512 (float32(512 / 960) = 0.53333336)
    ('rvm', 'rvm_street_h540w960_r0.533',
     ['street_h540w960_0.png', 'street_h540w960_1.png', 'street_h540w960_2.png'], 540, 960,
     512 / 960),
    # video mode's accurate quality: network long side 640 (float32(640 / 960) = 0.6666667)
    ('rvm', 'rvm_street_h540w960_r0.667',
     ['street_h540w960_0.png', 'street_h540w960_1.png', 'street_h540w960_2.png'], 540, 960,
     640 / 960),
    ('selfie', 'selfie_astronaut_h256w256', ['astronaut_h256w256.png'], 256, 256, None),
    ('selfie', 'selfie_messi_h256w256', ['messi_h256w256.png'], 256, 256, None),
]


def load_rgb(path):
    return np.asarray(Image.open(path).convert('RGB'))


def crop_to_aspect(img, h, w):
    """Largest centred crop of img with the aspect ratio w:h."""
    ih, iw = img.shape[:2]
    if iw * h > ih * w:  # too wide
        cw = round(ih * w / h)
        x = (iw - cw) // 2
        return img[:, x:x + cw]
    ch = round(iw * h / w)
    y = (ih - ch) // 2
    return img[y:y + ch]


def resized(img, h, w):
    out = resize(img.astype(np.float64) / 255.0, (h, w), order=1, mode='edge',
                 anti_aliasing=True)
    return np.clip(np.rint(out * 255.0), 0, 255).astype(np.uint8)


def street_frames(tmp):
    """Frames 600, 602 and 604 of OpenCV's pedestrian clip, its lower 16:9 band."""
    frames = []
    for n in (600, 602, 604):
        png = os.path.join(tmp, f'street_{n}.png')
        subprocess.run(['ffmpeg', '-v', 'error', '-y', '-i', f'{OPENCV_DATA}/vtest.avi',
                        '-vf', f'select=eq(n\\,{n})', '-vsync', '0', '-frames:v', '1', png],
                       check=True)
        img = load_rgb(png)
        ih, iw = img.shape[:2]
        band = iw * 9 // 16
        frames.append(img[ih - band:])
    return frames


def make_inputs(out, tmp):
    astronaut = load_rgb(ASTRONAUT)
    messi = load_rgb(f'{OPENCV_DATA}/messi5.jpg')
    images = {
        'astronaut_h257w193.png': resized(crop_to_aspect(astronaut, 257, 193), 257, 193),
        'messi_h193w257.png': resized(crop_to_aspect(messi, 193, 257), 193, 257),
        # selfie sees any picture stretched to 256x256
        'astronaut_h256w256.png': resized(astronaut, 256, 256),
        'messi_h256w256.png': resized(messi, 256, 256),
    }
    for k, frame in enumerate(street_frames(tmp)):
        images[f'street_h540w960_{k}.png'] = resized(frame, 540, 960)
    for name, img in images.items():
        Image.fromarray(img, 'RGB').save(os.path.join(out, name), optimize=True)


def to_f32(png, path):
    rgb = load_rgb(png)
    (rgb.astype(np.float32) / np.float32(255)).astype('<f4').tofile(path)
    return rgb.shape[:2]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--tool', required=True)
    ap.add_argument('--models', required=True)
    ap.add_argument('--out', required=True)
    ap.add_argument('--compare-backend')
    ap.add_argument('--only')
    args = ap.parse_args()
    only = set(args.only.split(',')) if args.only else None
    if only and not only <= {case[1] for case in CASES}:
        sys.exit(f'--only: no case named {", ".join(sorted(only - {c[1] for c in CASES}))}')
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        if not args.compare_backend and not only:
            make_inputs(args.out, tmp)
        for model, name, inputs, h, w, ratio in CASES:
            if only and name not in only:
                continue
            frames = []
            for k, png in enumerate(inputs):
                f32 = os.path.join(tmp, f'{name}_in{k}.f32')
                assert to_f32(os.path.join(args.out, png), f32) == (h, w)
                frames.append(f32)
            run_dir = os.path.join(tmp, name)
            cmd = ['node', os.path.join(args.tool, 'run_model.js'), '--models', args.models,
                   '--model', model, '--h', str(h), '--w', str(w), '--frames', ','.join(frames),
                   '--out', run_dir]
            if ratio is not None:
                cmd += ['--ratio', repr(ratio)]
            if args.compare_backend:
                cmd += ['--backend', args.compare_backend]
            subprocess.run(cmd, check=True)
            for k in range(len(frames)):
                matte = np.fromfile(os.path.join(run_dir, f'out_{k}.f32'), '<f4').reshape(h, w)
                if not (np.isfinite(matte).all() and matte.min() >= 0 and matte.max() <= 1):
                    sys.exit(f'{name} frame {k}: matte outside 0..1')
                golden = f'{name}_f{k}.png' if len(frames) > 1 else f'{name}.png'
                path = os.path.join(args.out, golden)
                if args.compare_backend:
                    ref = np.asarray(Image.open(path)).astype(np.float64) / 65535
                    diff = np.abs(ref - matte)
                    print(f'{golden}: {args.compare_backend} differs by max {diff.max():.2e}, '
                          f'99.9th percentile {np.percentile(diff, 99.9):.2e}')
                    continue
                q = np.rint(matte.astype(np.float64) * 65535).astype(np.uint16)
                Image.fromarray(q).save(path, optimize=True)
                print(f'{golden}: mean {matte.mean():.4f}, '
                      f'{(matte >= 0.5).mean() * 100:.1f} % at or above 0.5')


if __name__ == '__main__':
    main()
