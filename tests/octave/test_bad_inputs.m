function test_bad_inputs()
  % Every module in Octave, given each kind of bad input in place of one
  % input of a valid call: the call either ends with one of the module's own
  % errors or returns results of the documented classes and sizes, and no
  % input changes. Run under valgrind, this also checks every access the
  % modules make through Octave's arrays.
  calls = {
    'gridlerp', 1, {[10 20; 30 40], [0.5 1], [0.5 0]}, ...
      {'Not enough input arguments!', 'Too many output arguments!'}, ...
      @(in) {[size(in{2}, 1), prod(size(in{2})(2:end))]};
    'patchwarp', 3, {magic(3), zeros(1, 2), [1 0 0 1 1 1]}, ...
      {'Not enough input arguments!', 'Too many output arguments!'}, ...
      @(in) repmat({[size(in{2}, 1), prod(size(in{2})(2:end))]}, 1, 3);
    'envsweep', 3, {[0 1; 2 3], 1, 0, 1, 0, 1, 1, 2, 1, 1}, ...
      {'Wrong number of inputs', 'Wrong number of outputs', 'Invalid input'}, ...
      @(in) repmat({fix([scalar(in{9}), scalar(in{8})])}, 1, 3);
    'linscore', 1, {[1 2; 3 4], [0 1], [1 2], [1 1 0.5]}, ...
      {'Too many output arguments', 'incorrect number of inputs!'}, ...
      @(in) {[prod(size(in{1})(2:end)), 1]};
  };
  variants = {@single, @int32, @logical_of, @char_of, @(x) complex(x, 1), ...
              @(x) sparse(double(x)), @(x) [], @(x) zeros(2^31, 0), ...
              @(x) zeros(0, 65536, 65536), @(x) x(1), @(x) cat(3, x, x), ...
              @(x) NaN(size(x)), @(x) Inf(size(x)), @(x) -Inf(size(x)), ...
              @(x) -zeros(size(x)), @(x) 1e308 * ones(size(x)), ...
              @(x) 5e-324 * ones(size(x)), @(x) x + 0.5, @(x) -x};
  made = 0;
  for m = 1:rows(calls)
    [name, nout, valid, messages, sizes] = calls{m, :};
    for i = 1:numel(valid)
      for v = 1:numel(variants)
        in = valid;
        in{i} = variants{v}(valid{i});
        check_call(name, nout, in, messages, sizes, sprintf('input %d, variant %d', i, v));
        made += 1;
      end
    end
    % One input too few and one too many.
    check_call(name, nout, valid(1:end-1), messages, sizes, 'one input too few');
    check_call(name, nout, [valid {0}], messages, sizes, 'one input too many');
    made += 2;
  end
  printf('1 passed, 0 failed (%d calls)\n', made);
end

function check_call(name, nout, in, messages, sizes, what)
  keep = cellfun(@deep_copy, in, 'UniformOutput', false);
  out = cell(1, nout);
  try
    [out{:}] = feval(name, in{:});
  catch err
    ok = strncmp(err.identifier, [name ':'], numel(name) + 1) || ...
         (isempty(err.identifier) && any(cellfun(@(t) ends_with(err.message, t), messages)));
    assert(ok, '%s (%s): unexpected error [%s] %s', name, what, err.identifier, err.message);
    assert(isequaln(in, keep), '%s (%s): an input changed', name, what);
    return;
  end
  expected = sizes(in);
  classes = {'double', 'int32', 'int32'};
  for k = 1:nout
    assert(isequal(size(out{k}), expected{k}), '%s (%s): result %d has size %s', ...
           name, what, k, mat2str(size(out{k})));
    if strcmp(name, 'envsweep')
      assert(isa(out{k}, classes{k}) && isreal(out{k}), '%s (%s): result %d class', name, what, k);
    else
      assert(isa(out{k}, 'double') && isreal(out{k}), '%s (%s): result %d class', name, what, k);
    end
  end
  assert(isequaln(in, keep), '%s (%s): an input changed', name, what);
end

function y = deep_copy(x)
  % A copy with its own data, so a module writing into its input shows.
  y = x;
  if numel(y) > 0
    y(1) = x(1);
  end
end

function yes = ends_with(text, tail)
  % Octave puts the function's name before a message without identifier.
  yes = numel(text) >= numel(tail) && strcmp(text(end - numel(tail) + 1:end), tail);
end

function y = logical_of(x)
  y = x ~= 0 & ~isnan(x);
end

function y = char_of(x)
  y = char(max(0, min(65535, fix(double(x)))));
end

function s = scalar(x)
  % What the host's first-element read gives for a count: the real part.
  s = real(double(full(x(1))));
end
