function run_octave_suite(root, module_dir)
  % Runs every tests/octave/test_*.m of the checkout at ROOT against the
  % modules in MODULE_DIR (already on the path), after making sure that each
  % module the checkout has is called from there and nowhere else.
  sources = dir(fullfile(root, 'modules', '*.cpp'));
  sources = sources(~strcmp({sources.name}, 'args.cpp'));   % the argument layer, not a module
  for k = 1:numel(sources)
    [~, name] = fileparts(sources(k).name);
    where = which(name);
    assert(strncmp(where, module_dir, numel(module_dir)) && strcmp(where(end-3:end), '.mex'), ...
           '%s comes from %s, not from %s', name, where, module_dir);
  end

  tests = fullfile(root, 'tests', 'octave');
  addpath(tests);
  files = dir(fullfile(tests, 'test_*.m'));
  failed = {};
  for k = 1:numel(files)
    [~, name] = fileparts(files(k).name);
    printf('== %s\n', name);
    try
      feval(name);
    catch err
      printf('FAILED: %s\n', err.message);
      failed{end + 1} = name;
    end
  end
  printf('%d passed, %d failed\n', numel(files) - numel(failed), numel(failed));
  assert(isempty(failed), 'failed against %s: %s', module_dir, strjoin(failed, ', '));
  assert(numel(files) > 0, 'no Octave tests in %s', tests);
end
