"""The benchmark proper, started by bench/run: framelet and the other tools
on the same photographs in one run, each command timed as a whole process
(start-up, decoding once or per size as the tool does, three outputs); first
as JPEG, then as GIF (256 colours with error diffusion where needed).
Rounds are interleaved (every tool on every photograph, then again), so a
change in the machine's load falls on all tools alike; every other round runs
the tools in the reverse order, so that no tool always runs right after the
same one (a run finds the caches and the clock as the run before left them),
and an even number of rounds gives each order the same weight. framelet's decode-only
run (one slot larger than every picture: decoding and nothing else) is the
floor the default job is measured against."""
import os
import re
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
# Baseline (non-progressive) photographs of 15 to 20 megapixels, where decoding
# is cheapest against the fitting: lossless copies made with jpegtran, a crop
# of the 6028x3391 photograph to 20.0 MP and the progressive painting scan
# rewritten as baseline. Name, source, jpegtran options.
BASELINES = [('Kleiber_5952x3360_baseline.jpg', '/usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg',
              ['-crop', '5952x3360+32+16']),
             ('Elephants_5640x3172_baseline.jpg', '/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg', [])]
# The batch: every JPEG photograph of the two wallpaper packages.
BATCH_FOLDERS = ['/usr/share/backgrounds/mate', '/usr/share/backgrounds']
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


DECODE_ONLY_SLOT = (25000, 25000)  # larger than every picture: no output, decoding only


def framelet_settings(config, out, sizes, output_format=2):
    """The given slots (the rest off) and output format (list index: 2 JPEG, 3 GIF), written into one output
    folder."""
    folder = os.path.join(config, 'Framelet')
    os.makedirs(folder, exist_ok=True)
    lines = ['[VEzu]']
    for i in range(1, 7):
        if i > len(sizes):
            lines.append('OSize%d=0' % i)
            continue
        w, h = sizes[i - 1]
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


def run_once(commands, env, allowed=(0,)):
    """Wall seconds for the commands in turn, and the largest resident set of any."""
    start = time.perf_counter()
    peak = 0
    for command in commands:
        child = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode not in allowed:
            raise RuntimeError('%s failed: %s' % (command[0], child.stderr.read().decode(errors='replace')))
        child.stderr.close()
        peak = max(peak, usage.ru_maxrss)
    return time.perf_counter() - start, peak


def measure(tools, photos, out, repetitions, extension):
    """Interleaved rounds; per tool the median per picture, the sum of the medians and the peak resident set;
    then the peaks and the medians per tool and picture."""
    times = dict(((name, photo), []) for name, _, _, _ in tools for photo in photos)
    peaks = dict(((name, photo), 0) for name, _, _, _ in tools for photo in photos)
    for round in range(repetitions):
        for photo in photos:
            for name, make, env, files in (tools if round % 2 == 0 else tools[::-1]):
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                seconds, rss = run_once(make(photo, out), env, (0,) if files else (1,))
                written = sorted(f for f in os.listdir(out) if f.endswith('.' + extension))
                if len(written) != files:
                    raise RuntimeError('%s wrote %s for %s' % (name, written, photo))
                times[name, photo].append(seconds)
                peaks[name, photo] = max(peaks[name, photo], rss)
    medians = dict((key, statistics.median(values)) for key, values in times.items())
    results = []
    for name, _, _, _ in tools:
        per_photo = [medians[name, photo] for photo in photos]
        results.append((name, statistics.median(per_photo), sum(per_photo), max(peaks[name, p] for p in photos)))
    return results, peaks, medians


def print_ratios(results):
    """The medians per picture and each tool's ratio to framelet's."""
    reference = results[0][1]
    print()
    print('| tool | median ms per picture | total ms (sum of medians) | x framelet | peak MiB |')
    print('|---|---:|---:|---:|---:|')
    for name, median, total, peak in results:
        print('| %s | %.0f | %.0f | %.2f | %.0f |' % (name, median * 1000, total * 1000, median / reference,
                                                    peak / 1024))


def decoded_bytes(photo):
    """The size of the decoded 24-bit picture (rows padded to 4 bytes)."""
    from PIL import Image
    with Image.open(photo) as picture:
        width, height = picture.size
    return (3 * width + 3) // 4 * 4 * height


def print_table(results, photos, peaks, medians):
    """Medians per picture, the two ratios of the default job, and per photograph its time against the
    decode-only run and the memory peaks (the decoder's own working memory is in the decode-only peak)."""
    print_ratios(results)
    totals = dict((name, total) for name, _, total, _ in results)
    default = totals['framelet']
    print()
    print('framelet default job / its decode-only run: %.2f' % (default / totals['framelet, decode only']))
    if 'Pillow (1 thread)' in totals:
        print('framelet default job / Pillow box-filter fit: %.2f' % (default / totals['Pillow (1 thread)']))
    print()
    print('| photograph | decode only ms | default job ms | default / decode only | decoded MiB '
          '| peak MiB, decode only | default job | default / decoded |')
    print('|---|---:|---:|---:|---:|---:|---:|---:|')
    for photo in photos:
        decoded = decoded_bytes(photo) / 1048576
        only, default = (peaks[name, photo] / 1024 for name in ('framelet, decode only', 'framelet'))
        only_ms, default_ms = (medians[name, photo] * 1000 for name in ('framelet, decode only', 'framelet'))
        print('| %s | %.0f | %.0f | %.2f | %.1f | %.1f | %.1f | %.2f |' %
              (os.path.basename(photo), only_ms, default_ms, default_ms / only_ms, decoded, only, default,
               default / decoded))


def main():
    framelet, repetitions = sys.argv[1], int(sys.argv[2])
    only = re.compile(sys.argv[3]) if len(sys.argv) > 3 else None
    photos = [os.path.join(PHOTO_FOLDER, p) for p in PHOTOS if os.path.exists(os.path.join(PHOTO_FOLDER, p))]
    if not photos:
        sys.exit('bench: no photographs in %s' % PHOTO_FOLDER)
    work = tempfile.mkdtemp(prefix='framelet-bench-')
    out = os.path.join(work, 'out')
    config = os.path.join(work, 'config')
    decode_config = os.path.join(work, 'decode-config')
    framelet_settings(config, out, SIZES)
    framelet_settings(decode_config, out, [DECODE_ONLY_SLOT])
    base = dict(os.environ, XDG_CONFIG_HOME=config)
    single = dict(base, OMP_NUM_THREADS='1', VIPS_CONCURRENCY='1', MAGICK_THREAD_LIMIT='1')
    pillow = os.path.join(work, 'pillow.py')
    with open(pillow, 'w') as f:
        f.write(PILLOW)

    # name, commands, environment, files written (framelet writes nothing and exits 1 when decoding only)
    tools = [
        ('framelet', lambda p, o: [[framelet, p]], base, 3),
        ('framelet, decode only', lambda p, o: [[framelet, p]], dict(base, XDG_CONFIG_HOME=decode_config), 0),
        ('vips, 1 thread', vips, single, 3),
        ('ImageMagick, 1 thread', magick('convert-im6.q16', 1), single, 3),
        ('GraphicsMagick, 1 thread', magick('gm', 1), single, 3),
        ('Pillow (1 thread)', lambda p, o: [['/usr/bin/python3', pillow, p, o, 'jpg']], single, 3),
        ('vips, default threads', vips, base, 3),
        ('ImageMagick, default threads', magick('convert-im6.q16', 0), base, 3),
        ('GraphicsMagick, default threads', magick('gm', 0), base, 3),
    ]
    tools = [t for t in tools if t[0].startswith('framelet') or only is None or only.search(t[0])]
    baselines = []
    for name, source, options in BASELINES:
        if os.path.exists(source):
            baselines.append(os.path.join(work, name))
            subprocess.run(['jpegtran', '-copy', 'none'] + options + ['-outfile', baselines[-1], source], check=True)
    photos += baselines
    print('bench: %d photographs (%s), %d interleaved rounds, %d cores, load average %.1f' %
          (len(photos), ', '.join(os.path.basename(p) for p in photos), repetitions, os.cpu_count(),
           os.getloadavg()[0]))
    results, peaks, medians = measure(tools, photos, out, repetitions, 'jpg')
    print_table(results, photos, peaks, medians)

    # All the JPEG photographs of the wallpaper packages as one batch: framelet
    # with one worker and with one per core, against the peers'
    # default-threaded runs one photograph after another, in the same rounds.
    cores = os.cpu_count() or 1
    batch_photos = sorted(os.path.join(folder, name) for top in BATCH_FOLDERS for folder, _, names in os.walk(top)
                          for name in names if name.endswith('.jpg') and (top == PHOTO_FOLDER or folder == top))

    def each(make):
        return lambda _, o: [command for photo in batch_photos for command in make(photo, o)]
    tools = [
        ('framelet -j 1', lambda _, o: [[framelet, '-j', '1'] + batch_photos], base, 3 * len(batch_photos)),
        ('framelet -j %d' % cores, lambda _, o: [[framelet, '-j', str(cores)] + batch_photos], base,
         3 * len(batch_photos)),
        ('vips, default threads', each(vips), base, 3),
        ('ImageMagick, default threads', each(magick('convert-im6.q16', 0)), base, 3),
        ('GraphicsMagick, default threads', each(magick('gm', 0)), base, 3),
    ]
    tools = [t for t in tools if t[0].startswith('framelet') or only is None or only.search(t[0])]
    print()
    megapixels = sum(decoded_bytes(p) for p in batch_photos) / 3e6
    print('One batch of the %d photographs (%.0f megapixels):' % (len(batch_photos), megapixels))
    batch = measure(tools, ['batch'], out, repetitions, 'jpg')[0]
    print_ratios(batch)
    print('framelet -j 1 / -j %d: %.2f times as fast' % (cores, batch[0][2] / batch[1][2]))

    # The same three slots written as GIF.
    gif_config = os.path.join(work, 'gif-config')
    framelet_settings(gif_config, out, SIZES, 3)
    tools = [
        ('framelet', lambda p, o: [[framelet, p]], dict(base, XDG_CONFIG_HOME=gif_config), 3),
        ('ImageMagick, 1 thread', magick('convert-im6.q16', 1, 'gif'), single, 3),
        ('Pillow (1 thread)', lambda p, o: [['/usr/bin/python3', pillow, p, o, 'gif']], single, 3),
    ]
    tools = [t for t in tools if t[0].startswith('framelet') or only is None or only.search(t[0])]
    print()
    print('GIF output:')
    print_ratios(measure(tools, photos, out, repetitions, 'gif')[0])
    print('load average after the run: %.1f' % os.getloadavg()[0])
    shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
