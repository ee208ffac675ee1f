function bitexact_demo(outdir)
  %BITEXACT_DEMO Run every module's demonstration and write its pictures to OUTDIR.
  %   BITEXACT_DEMO(OUTDIR) runs each demos/demo_*.m beside this file in turn; each
  %   writes PNG images into OUTDIR (created if missing; default
  %   'demo-output' in the current folder) and prints what it did.
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
