function [ok, report] = bitexact_selftest(file)
%BITEXACT_SELFTEST Check that the bitexact modules on the path give the recorded bits.
%   BITEXACT_SELFTEST calls the modules gridlerp, patchwarp, envsweep and
%   linscore that are on the path, whatever built them (the Octave package,
%   bitexact_make, the CMake build or MATLAB's own mex), with the few
%   thousand calls stored in bitexact_selftest.bin beside this file, and
%   compares every result bit for bit with the result recorded when the file
%   was made. It never compares within a tolerance; only a NaN counts as
%   equal to any NaN, since which NaN survives where two meet is the
%   processor's choice.
%
%   It prints one line per module, then, last, either
%
%     bitexact_selftest: N calls, all bits equal to the recorded results (<computer>, <host and version>)
%
%   or a count of the calls that differ followed by the first of them, each
%   with its inputs and both results in hexadecimal.
%
%   OK = BITEXACT_SELFTEST() returns true when every result has the recorded
%   bits and false otherwise, for scripts to test.
%   [OK, REPORT] = BITEXACT_SELFTEST() also returns the printed lines, a cell
%   array of char.
%   BITEXACT_SELFTEST(FILE) replays the calls stored in FILE instead.
%
%   When it fails
%     Please send, in a new issue of the project:
%     - everything it printed, the last lines above all;
%     - the output of ver (or version) and of computer;
%     - how the modules were built: the Octave package, bitexact_make,
%       CMake or mex; the compiler, its version and any flags you added;
%     - the processor: lscpu on Linux, sysctl -n machdep.cpu.brand_string
%       on macOS, or the processor named in the system information on
%       Windows.
%     Different bits mean a build or a host that does not keep the modules'
%     arithmetic; the calls named tell which module and which case.
%
%   Example
%     assert(bitexact_selftest(), 'the bitexact modules give other bits here')
%
%   Errors
%     bitexact:selftestFile  the file of calls cannot be read or is damaged.
%
%   See also BITEXACT_MAKE, GRIDLERP, PATCHWARP, ENVSWEEP, LINSCORE.

  if nargin < 1 || isempty(file)
    file = fullfile(fileparts(mfilename('fullpath')), 'bitexact_selftest.bin');
  end
  bytes = read_bytes(file);
  [~, ~, endian] = computer();
  little = endian == 'L';

  names = {'gridlerp', 'patchwarp', 'envsweep', 'linscore'};
  found = cellfun(@(name) exist(name) == 3, names); %#ok<EXIST> a compiled module
  total = le_uint32(bytes, 13);
  calls = zeros(1, 4);
  differing = zeros(1, 4);
  failures = {};
  at = 17;
  for index = 1:total
    if at + 3 > numel(bytes)
      error('bitexact:selftestFile', '%s ends before call %d of %d.', file, index, total);
    end
    module = double(bytes(at));
    count_in = double(bytes(at + 1));
    count_out = double(bytes(at + 2));
    label = char(bytes(at + 4:at + 3 + double(bytes(at + 3))).');
    at = at + 4 + numel(label);
    if module < 1 || module > 4
      error('bitexact:selftestFile', '%s: call %d names no module.', file, index);
    end
    inputs = cell(1, count_in);
    for i = 1:count_in
      [inputs{i}, at] = read_array(bytes, at, little, file);
    end
    expected = cell(1, count_out);
    for r = 1:count_out
      [expected{r}, at] = read_array(bytes, at, little, file);
    end

    calls(module) = calls(module) + 1;
    got = cell(1, count_out);
    why = '';
    try
      [got{:}] = feval(names{module}, inputs{:});
    catch err
      why = ['error: ' err.message];
    end
    for r = 1:count_out
      if ~isempty(why)
        break;
      end
      why = difference(expected{r}, got{r}, little);
      if ~isempty(why)
        why = sprintf('result %d, %s', r, why);
      end
    end
    if ~isempty(why)
      differing(module) = differing(module) + 1;
      if numel(failures) < 3
        failures{end + 1} = describe(index, names{module}, label, why, inputs, ...
                                     expected, got, little); %#ok<AGROW>
      end
    end
  end
  if at ~= numel(bytes) + 1
    error('bitexact:selftestFile', '%s has bytes after its last call.', file);
  end

  lines = {};
  for m = 1:4
    if ~found(m)
      where = 'no compiled module of this name on the path';
    else
      where = which(names{m});
    end
    if differing(m) == 0
      lines{end + 1} = sprintf('%s: %d calls, all bits equal (%s)', names{m}, calls(m), where); %#ok<AGROW>
    else
      lines{end + 1} = sprintf('%s: %d of %d calls DIFFER (%s)', names{m}, differing(m), ...
                               calls(m), where); %#ok<AGROW>
    end
  end
  setting = sprintf('%s, %s', computer(), host_version());
  ok = sum(differing) == 0;
  if ok
    lines{end + 1} = sprintf(['bitexact_selftest: %d calls, all bits equal to the recorded ' ...
                              'results (%s)'], total, setting);
  else
    lines{end + 1} = sprintf(['bitexact_selftest: %d of %d calls DIFFER from the recorded ' ...
                              'results (%s); see help bitexact_selftest for what to send. ' ...
                              'The first of them:'], sum(differing), total, setting);
    lines = [lines, failures];
  end
  fprintf('%s\n', lines{:});
  if nargout > 1
    report = lines;
  end
end

function bytes = read_bytes(file)
  fid = fopen(file, 'r', 'ieee-le');
  if fid < 0
    error('bitexact:selftestFile', 'Cannot read the self-test''s calls from %s.', file);
  end
  bytes = fread(fid, Inf, 'uint8=>uint8');
  fclose(fid);
  if numel(bytes) < 16 || ~strcmp(char(bytes(1:8).'), 'BXGOLDEN') || le_uint32(bytes, 9) ~= 1
    error('bitexact:selftestFile', '%s is not a file of self-test calls (version 1).', file);
  end
end

function value = le_uint32(bytes, at)
  value = double(bytes(at:at + 3)).' * [1; 256; 65536; 16777216];
end

% One stored array: kind (0 double, 1 int32, 2 double of which the size alone
% counts), three zero bytes, rows, columns, then the elements in column order.
function [value, at] = read_array(bytes, at, little, file)
  if at + 11 > numel(bytes)
    error('bitexact:selftestFile', '%s is truncated.', file);
  end
  kind = bytes(at);
  rows = le_uint32(bytes, at + 4);
  cols = le_uint32(bytes, at + 8);
  at = at + 12;
  if kind == 2
    value = zeros(rows, cols);
    return;
  end
  types = {'double', 'int32'};
  widths = [8 4];
  if kind > 1
    error('bitexact:selftestFile', '%s holds an array of unknown kind %d.', file, kind);
  end
  count = rows * cols * widths(kind + 1);
  if at + count - 1 > numel(bytes)
    error('bitexact:selftestFile', '%s is truncated.', file);
  end
  if count == 0
    value = zeros(rows, cols, types{kind + 1});
  else
    value = typecast(bytes(at:at + count - 1), types{kind + 1});
    if ~little
      value = swapbytes(value);
    end
    value = reshape(value, rows, cols);
  end
  at = at + count;
end

% Where a result differs from the recorded one; '' when every bit is equal
% (a NaN equal to any NaN).
function why = difference(expected, got, little)
  why = '';
  if ~strcmp(class(got), class(expected)) || ~isreal(got)
    why = sprintf('class %s, recorded %s', class(got), class(expected));
  elseif ~isequal(size(got), size(expected))
    why = sprintf('size %s, recorded %s', mat2str(size(got)), mat2str(size(expected)));
  elseif ~isempty(got)
    if isa(got, 'double')
      same = typecast(got(:), 'uint64') == typecast(expected(:), 'uint64') | ...
             (isnan(got(:)) & isnan(expected(:)));
    else
      same = got(:) == expected(:);
    end
    k = find(~same, 1);
    if ~isempty(k)
      why = sprintf('element %d: recorded %s, got %s', k, hex(expected(k), little), ...
                    hex(got(k), little));
    end
  end
end

function text = hex(value, little)
  bytes = typecast(value, 'uint8');
  if little
    bytes = bytes(end:-1:1);
  end
  text = sprintf('%02x', bytes);
  if isa(value, 'double')
    text = sprintf('%s (%.17g)', text, value);
  else
    text = sprintf('%s (%d)', text, value);
  end
end

function text = describe(index, name, label, why, inputs, expected, got, little)
  text = sprintf('  call %d (%s, %s): %s', index, name, label, why);
  for i = 1:numel(inputs)
    text = [text, sprintf('\n    input %d, %d x %d:', i, size(inputs{i}, 1), ...
                          size(inputs{i}, 2))]; %#ok<AGROW>
    if strcmp(name, 'patchwarp') && i == 2
      text = [text, ' (its size alone counts)']; %#ok<AGROW>
      continue;
    end
    text = [text, values_hex(inputs{i}, little)]; %#ok<AGROW>
  end
  for r = 1:numel(expected)
    text = [text, sprintf('\n    result %d recorded:', r), values_hex(expected{r}, little)]; %#ok<AGROW>
    if r <= numel(got) && (isnumeric(got{r}) || islogical(got{r}))
      text = [text, sprintf('\n    result %d got:     ', r), values_hex(got{r}, little)]; %#ok<AGROW>
    end
  end
end

function text = values_hex(values, little)
  text = '';
  shown = min(numel(values), 8);
  for k = 1:shown
    bytes = typecast(values(k), 'uint8');
    if little
      bytes = bytes(end:-1:1);
    end
    text = [text, ' ', sprintf('%02x', bytes)]; %#ok<AGROW>
  end
  if numel(values) > shown
    text = sprintf('%s ... (%d elements)', text, numel(values));
  end
end

function text = host_version()
  if exist('OCTAVE_VERSION', 'builtin')
    text = ['GNU Octave ' OCTAVE_VERSION()];
  else
    text = ['MATLAB ' version()];
  end
end
