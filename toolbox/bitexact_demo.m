function bitexact_demo(outdir)
  %BITEXACT_DEMO Run every module's demonstration and write its pictures to OUTDIR.
  %   BITEXACT_DEMO(OUTDIR) runs each demos/demo_*.m beside this file in turn; each
  %   writes its pictures, 640 x 480 PNG images with a heading, axes and
  %   colour bars, into OUTDIR (created if missing; default 'demo-output' in
  %   the current folder) and prints what it did. The pictures are drawn with
  %   gnuplot where Octave finds it, which needs no display (octave-cli), and
  %   otherwise with the session's own graphics toolkit.
  if nargin < 1
    outdir = fullfile(pwd, 'demo-output');
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end
  demos = fullfile(fileparts(mfilename('fullpath')), 'demos');
  addpath(demos, '-end');
  files = dir(fullfile(demos, 'demo_*.m'));
  for k = 1:numel(files)
    [~, name] = fileparts(files(k).name);
    printf('== %s\n', name);
    feval(name, outdir);
  end
  printf('Pictures are in %s\n', outdir);
end
