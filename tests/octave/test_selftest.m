function test_selftest()
  % bitexact_selftest against the modules on the path: every recorded call
  % gives its bits, and the last line is the one the README shows. A file
  % with one recorded bit changed must fail and name that call; a damaged
  % file must be refused, never passed.
  toolbox = fullfile(fileparts(fileparts(fileparts(mfilename('fullpath')))), 'toolbox');
  if isempty(which('bitexact_selftest'))
    % After the modules' folders, so that the help files there hide nothing.
    addpath(toolbox, '-end');
    cleanup = onCleanup(@() rmpath(toolbox));
  end
  passed = 0;

  [ok, report] = bitexact_selftest();
  assert(ok && islogical(ok), 'bitexact_selftest fails against these modules');
  assert(numel(report) == 5, 'one line per module and a last line');
  assert(~isempty(regexp(report{end}, ['^bitexact_selftest: \d+ calls, all bits equal to ' ...
                                       'the recorded results \(.+, GNU Octave .+\)$'], 'once')), ...
         'last line: %s', report{end});
  passed += 1;

  % The last element of the last call's last result, one bit off.
  golden = fullfile(fileparts(which('bitexact_selftest')), 'bitexact_selftest.bin');
  fid = fopen(golden, 'r');
  bytes = fread(fid, Inf, 'uint8=>uint8');
  fclose(fid);
  bytes(end - 7) = bitxor(bytes(end - 7), uint8(1));
  changed = [tempname() '.bin'];
  remove = onCleanup(@() delete(changed));
  fid = fopen(changed, 'w');
  fwrite(fid, bytes, 'uint8');
  fclose(fid);
  [ok, report] = bitexact_selftest(changed);
  assert(~ok, 'a changed recorded bit passed');
  text = strjoin(report, "\n");
  assert(~isempty(regexp(text, '1 of \d+ calls DIFFER', 'once')), 'no count of the differing calls');
  assert(~isempty(regexp(text, 'call \d+ \(linscore, golden: summation order\): result 1, element 2', ...
                         'once')), 'the differing call is not named:\n%s', text);
  % 1e16 + 2 is recorded as 1e16 now.
  assert(~isempty(strfind(text, 'recorded: 4341c37937e08000 4341c37937e08000')) && ...
         ~isempty(strfind(text, 'got:      4341c37937e08000 4341c37937e08001')), ...
         'both results are not shown in hexadecimal:\n%s', text);
  passed += 1;

  % Truncated: refused with the file's error, not passed.
  fid = fopen(changed, 'w');
  fwrite(fid, bytes(1:end - 100), 'uint8');
  fclose(fid);
  expect_error(@() bitexact_selftest(changed), 'bitexact:selftestFile');
  expect_error(@() bitexact_selftest(fullfile(tempdir(), 'no such file.bin')), ...
               'bitexact:selftestFile');
  passed += 1;

  printf('test_selftest: %d groups passed\n', passed);
end
