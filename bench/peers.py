"""The benchmark proper, started by bench/run: framelet and the other tools
on the same photographs in one run, each command timed as a whole process
(start-up, decoding once or per size as the tool does, three outputs); first
as JPEG, then as GIF (256 colours with error diffusion where needed)."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PHOTO_FOLDER = '/usr/share/backgrounds/mate'
PHOTOS = ['nature/Aqua.jpg', 'nature/Garden.jpg', 'nature/LadyBird.jpg', 'nature/TwoWings.jpg',
          'nature/Wood.jpg', 'nature/YellowFlower.jpg', 'abstract/Elephants_3840x2160.jpg',
          'abstract/Elephants_5640x3172.jpg']
SIZES = [(1024, 768), (800, 600), (160, 120)]

PILLOW = r'''
import sys
from PIL import Image, ImageFilter, ImageOps
source = Image.open(sys.argv[1])
source.load()
for i, size in enumerate([(1024, 768), (800, 600), (160, 120)]):
    picture = ImageOps.fit(source, size, method=Image.Resampling.BOX)
    picture = picture.filter(ImageFilter.UnsharpMask(radius=2, percent=37, threshold=20))
    if sys.argv[3] == 'gif':
        picture.save('%s/%d.gif' % (sys.argv[2], i))
    else:
        picture.save('%s/%d.jpg' % (sys.argv[2], i), quality=75, subsampling=2)
'''


def framelet_settings(config, out, output_format):
    """Default slots and the given output format (list index: 2 JPEG, 3 GIF), written into one output folder."""
    folder = os.path.join(config, 'Framelet')
    os.makedirs(folder, exist_ok=True)
    lines = ['[VEzu]']
    for i, (w, h) in enumerate(SIZES, 1):
        lines += ['OSize%d=1' % i, 'OutW%d=%d' % (i, w), 'OutH%d=%d' % (i, h), 'AddName%d=_%dx%d' % (i, w, h),
                  'OutDir%d=%s' % (i, out), 'MkDirAdd%d=0' % i]
    lines += ['Quality=75', 'Sampling=0', 'Limit=0', 'DrctCvt=%d' % output_format]
    with open(os.path.join(folder, 'Framelet.ini'), 'w') as f:
        f.write('\n'.join(lines) + '\n')


def magick(program, threads, extension='jpg'):
    """ImageMagick decodes once and clones per size; GraphicsMagick runs per size."""
    if program == 'convert-im6.q16':
        limit = ['-limit', 'thread', '1'] if threads == 1 else []

        def command(photo, out):
            steps = [program] + limit + [photo]
            for i, (w, h) in enumerate(SIZES):
                steps += ['(', '+clone', '-resize', '%dx%d^' % (w, h), '-gravity', 'center', '-extent',
                          '%dx%d' % (w, h), '-unsharp', '0x1', '-quality', '75', '-sampling-factor', '2x2',
                          '-write', '%s/%d.%s' % (out, i, extension), '+delete', ')']
            return [steps + ['null:']]
        return command

    limit = ['-limit', 'threads', '1'] if threads == 1 else []

    def command(photo, out):
        return [['gm', 'convert'] + limit + [photo, '-resize', '%dx%d^' % (w, h), '-gravity', 'center', '-extent',
                                              '%dx%d' % (w, h), '-unsharp', '0x1', '-quality', '75',
                                              '-sampling-factor', '2x2', '%s/%d.jpg' % (out, i)]
                for i, (w, h) in enumerate(SIZES)]
    return command


def vips(photo, out):
    """Shrink-on-load thumbnail with a centre crop, then sharpening and saving."""
    steps = []
    for i, (w, h) in enumerate(SIZES):
        middle = '%s/%d.v' % (out, i)
        steps.append(['vips', 'thumbnail', photo, middle, str(w), '--height', str(h), '--crop', 'centre'])
        steps.append(['vips', 'sharpen', middle, '%s/%d.jpg[Q=75,subsample-mode=on]' % (out, i)])
    return steps


def run_once(commands, env):
    """Wall seconds for the commands in turn, and the largest resident set of any."""
    start = time.perf_counter()
    peak = 0
    for command in commands:
        child = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            raise RuntimeError('%s failed: %s' % (command[0], child.stderr.read().decode(errors='replace')))
        child.stderr.close()
        peak = max(peak, usage.ru_maxrss)
    return time.perf_counter() - start, peak


def measure(tools, photos, out, repetitions, extension):
    """Median and mean wall time per picture and the peak resident set of each tool."""
    results = []
    for name, make, env in tools:
        per_photo = []
        peak = 0
        for photo in photos:
            times = []
            for _ in range(repetitions):
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                seconds, rss = run_once(make(photo, out), env)
                written = sorted(f for f in os.listdir(out) if f.endswith('.' + extension))
                if len(written) != 3:
                    raise RuntimeError('%s wrote %s for %s' % (name, written, photo))
                times.append(seconds)
                peak = max(peak, rss)
            per_photo.append(statistics.median(times))
        results.append((name, statistics.median(per_photo), sum(per_photo) / len(per_photo), peak))
    return results


def print_table(title, results):
    reference = results[0][1]
    print()
    print(title)
    print()
    print('| tool | median ms per picture | mean ms per picture | x framelet | peak MiB |')
    print('|---|---:|---:|---:|---:|')
    for name, median, mean, peak in results:
        print('| %s | %.0f | %.0f | %.2f | %.0f |' % (name, median * 1000, mean * 1000, median / reference,
                                                    peak / 1024))


def main():
    framelet, repetitions = sys.argv[1], int(sys.argv[2])
    which = sys.argv[3] if len(sys.argv) > 3 else 'all'
    photos = [os.path.join(PHOTO_FOLDER, p) for p in PHOTOS if os.path.exists(os.path.join(PHOTO_FOLDER, p))]
    if not photos:
        sys.exit('bench: no photographs in %s' % PHOTO_FOLDER)
    work = tempfile.mkdtemp(prefix='framelet-bench-')
    out = os.path.join(work, 'out')
    jpeg_config = os.path.join(work, 'config-jpeg')
    gif_config = os.path.join(work, 'config-gif')
    framelet_settings(jpeg_config, out, 2)
    framelet_settings(gif_config, out, 3)
    base = dict(os.environ, XDG_CONFIG_HOME=jpeg_config)
    single = dict(base, OMP_NUM_THREADS='1', VIPS_CONCURRENCY='1', MAGICK_THREAD_LIMIT='1')
    pillow = os.path.join(work, 'pillow.py')
    with open(pillow, 'w') as f:
        f.write(PILLOW)

    print('bench: %d photographs (%s), %d repetitions, %d cores' %
          (len(photos), ', '.join(os.path.basename(p) for p in photos), repetitions, os.cpu_count()))
    if which in ('all', 'jpeg'):
        tools = [
            ('framelet', lambda p, o: [[framelet, p]], base),
            ('vips, 1 thread', vips, single),
            ('ImageMagick, 1 thread', magick('convert-im6.q16', 1), single),
            ('GraphicsMagick, 1 thread', magick('gm', 1), single),
            ('Pillow (1 thread)', lambda p, o: [['/usr/bin/python3', pillow, p, o, 'jpg']], single),
            ('vips, default threads', vips, base),
            ('ImageMagick, default threads', magick('convert-im6.q16', 0), base),
            ('GraphicsMagick, default threads', magick('gm', 0), base),
        ]
        print_table('JPEG output', measure(tools, photos, out, repetitions, 'jpg'))
    if which in ('all', 'gif'):
        gif_base = dict(os.environ, XDG_CONFIG_HOME=gif_config)
        tools = [
            ('framelet', lambda p, o: [[framelet, p]], gif_base),
            ('ImageMagick, 1 thread', magick('convert-im6.q16', 1, 'gif'), single),
            ('Pillow (1 thread)', lambda p, o: [['/usr/bin/python3', pillow, p, o, 'gif']], single),
        ]
        print_table('GIF output', measure(tools, photos, out, repetitions, 'gif'))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
