function check_package(root)
  % Writes the package, installs it with pkg into a temporary prefix (never
  % the user's or the system's package lists), loads it, runs the Octave tests
  % against the installed modules and the installed demo.
  work = tempname();
  mkdir(work);
  cleanup = onCleanup(@() remove_folder(work));

  [status, output] = system(sprintf('bash "%s" "%s"', ...
                                    fullfile(root, 'package', 'make_package.sh'), work));
  assert(status == 0, 'writing the package failed:\n%s', output);
  archive = strtrim(output);
  printf('== pkg install %s\n', archive);

  % The parallel package (test_parallel) is loaded before the lists are
  % swapped for the temporary ones, which do not hold it.
  pkg('load', 'parallel');
  pkg('prefix', fullfile(work, 'share'), fullfile(work, 'lib'));
  pkg('local_list', fullfile(work, 'octave_packages'));
  pkg('global_list', fullfile(work, 'global_packages'));
  pkg('install', '-local', archive);
  pkg('load', 'bitexact');
  installed = pkg('list', 'bitexact');
  assert(numel(installed) == 1, 'pkg does not list bitexact after installing it');

  run_octave_suite(root, fullfile(work, 'lib'));

  demo = which('bitexact_demo');
  assert(strncmp(demo, fullfile(work, 'share'), numel(fullfile(work, 'share'))), ...
         'bitexact_demo comes from %s, not from the package', demo);
  % The installed self-test, with its installed calls, passes.
  selftest = which('bitexact_selftest');
  assert(strncmp(selftest, fullfile(work, 'share'), numel(fullfile(work, 'share'))), ...
         'bitexact_selftest comes from %s, not from the package', selftest);
  assert(bitexact_selftest(), 'the installed self-test fails');
  pictures = fullfile(work, 'pictures');
  bitexact_demo(pictures);
  assert(~isempty(dir(fullfile(pictures, '*.png'))), 'the installed demo wrote no picture');
  pkg('unload', 'bitexact');
end

function remove_folder(folder)
  if exist(folder, 'dir')
    confirm_recursive_rmdir(false);
    rmdir(folder, 's');
  end
end
