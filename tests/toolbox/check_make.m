function check_make(root)
  % Builds every module with bitexact_make, Octave's own mex command, into a
  % temporary folder, and runs the Octave tests against what it built.
  out = tempname();
  cleanup = onCleanup(@() remove_folder(out));
  addpath(fullfile(root, 'toolbox'));
  names = bitexact_make(out);
  rmpath(fullfile(root, 'toolbox'));   % its help files must not hide the modules

  sources = dir(fullfile(root, 'modules', '*.cpp'));
  sources = sources(~strcmp({sources.name}, 'args.cpp'));   % the argument layer, not a module
  assert(numel(names) == numel(sources), 'built %d of %d modules', numel(names), numel(sources));
  for k = 1:numel(names)
    assert(exist(fullfile(out, [names{k} '.m']), 'file') == 2, 'no help file beside %s', names{k});
  end
  addpath(out);
  run_octave_suite(root, out);
end

function remove_folder(folder)
  if exist(folder, 'dir')
    confirm_recursive_rmdir(false);
    rmdir(folder, 's');
  end
end
