function test_linscore()
  % linscore in Octave: the worked cases, its errors, and bit-for-bit
  % agreement with a plain loop in the same order on wide-ranging data.
  passed = 0;

  % Worked example (as in the help text), no output requested, and the
  % summation order: 1e16 + 1 + 1 from the first feature stays 1e16.
  X = [1 2 3; 10 20 30];
  s = linscore(X, [1 10], [1 10], [100 1 0.5]);
  assert(isequal(s, [0.5; 101.5; 202.5]));
  linscore(X, [1 10], [1 10], [100 1 0.5]);
  assert(isequal(ans, s));
  assert(bits_equal(linscore([1e16; 1; 1], [0 0 0], [1 1 1], [1 1 1 0]), 1e16));
  assert(bits_equal(linscore([1e16; 1], [0 0], [1 1], [1 1 -1e16]), 0));   % bias last
  passed += 1;

  % Signed zero and empty shapes: sums start at +0, M = 0 gives the bias.
  assert(bits_equal(linscore([-0; 0], [0 0], [1 -1], [1 1 -0]), 0));
  assert(bits_equal(linscore(zeros(0, 3), [], [], -0), zeros(3, 1)));
  assert(isequal(linscore(zeros(0, 2), [], [], 7.5), [7.5; 7.5]));
  assert(isequal(size(linscore(zeros(4, 0), 1:4, 1:4, 1:5)), [0 1]));
  assert(isequal(size(linscore([], [], [], 1)), [0 1]));
  assert(isequal(size(linscore(zeros(2, 0), [], [], [])), [0 1]));   % nothing is read
  assert(isequal(size(linscore([1; 2; 3], 1:3, 1:3, 1:4)), [1 1]));
  v = linscore([2 4 -6], 1, 2, [3 0.25]);              % one feature, three samples
  assert(bits_equal(v, [(0 + 3 * 0.5) + 0.25; (0 + 3 * 1.5) + 0.25; (0 + 3 * -3.5) + 0.25]));
  passed += 1;

  % IEEE division: zero scale gives +-Inf or NaN, -0 and negative scales flip
  % the sign; infinities and NaNs in the inputs propagate without an error.
  s = linscore([1 -1 0], 0, 0, [1 0]);
  assert(isequal(s(1:2), [Inf; -Inf]) && isnan(s(3)));
  assert(linscore(-1, 0, -0, [1 0]) == Inf);
  assert(isequal(linscore([5 -5], 1, -2, [1 0]), [-2; 3]));
  assert(isnan(linscore(1, 0, 0, [0 2])));             % 0 * Inf
  assert(isnan(linscore([1; 1], [0 0], [0 -0], [1 1 0])));   % Inf - Inf
  assert(isnan(linscore(Inf, Inf, 1, [1 0])));
  passed += 1;

  % Shapes of mean, scale and w are not read; elements after the bias are ignored.
  X = [1.5 7; -2 0.25];
  a = linscore(X, [0.5 1], [3 -7], [0.1 0.2 0.3]);
  b = linscore(X, [0.5; 1], [3; -7], [0.1; 0.2; 0.3; 1e300; NaN]);
  c = linscore(X, [0.5 1 NaN], [3; -7; 0], reshape([0.1 0.2 0.3 4], 2, 2));
  assert(bits_equal(a, b) && bits_equal(a, c));
  passed += 1;

  % Count checks in their order, then the checks on the inputs.
  expect_error(@() two_outputs(X), 'Too many output arguments');
  expect_error(@() linscore(X, 1, 1), 'incorrect number of inputs!');
  expect_error(@() linscore(X, 1, 1, 1, 1), 'incorrect number of inputs!');
  expect_error(@() linscore(single(X), [0 0], [1 1], [1 1 1]), 'linscore:notRealDouble');
  expect_error(@() linscore(X, int32([0 0]), [1 1], [1 1 1]), 'linscore:notRealDouble');
  expect_error(@() linscore(X, [0 0], complex([1 1], 1), [1 1 1]), 'linscore:notRealDouble');
  expect_error(@() linscore(X, [0 0], [1 1], sparse([1 1 1])), 'linscore:notRealDouble');
  expect_error(@() linscore(X, [0 0], [1 1], [true true true]), 'linscore:notRealDouble');
  expect_error(@() linscore(X, 0, [1 1], [1 1 1]), 'linscore:tooFewElements');
  expect_error(@() linscore(X, [0 0], 1, [1 1 1]), 'linscore:tooFewElements');
  expect_error(@() linscore(X, [0 0], [1 1], [1 1]), 'linscore:tooFewElements');
  expect_error(@() linscore(zeros(0, 2), [], [], []), 'linscore:tooFewElements');
  passed += 1;

  % Random data spanning many magnitudes agrees bit for bit with the plain
  % loop, differs from the reversed sum (so the order is really tested), and
  % leaves the inputs untouched.
  rand('state', 11); randn('state', 11);
  order_matters = false;
  for dims = [1 1; 7 1; 1 9; 37 53; 300 20]'
    M = dims(1); N = dims(2);
    X = randn(M, N) .* 10 .^ randi([-12 12], M, N);
    mu = randn(1, M) .* 10 .^ randi([-6 6], 1, M);
    sc = (rand(M, 1) + 0.1) .* 10 .^ randi([-6 6], M, 1) .* sign(randn(M, 1));
    w = randn(M + 1, 1) .* 10 .^ randi([-8 8], M + 1, 1);
    X(1) = -0; mu(1) = 0;
    keep = {X, mu, sc, w};
    s = linscore(X, mu, sc, w);
    [expected, reversed] = reference(X, mu, sc, w);
    assert(bits_equal(s, expected));
    order_matters = order_matters || ~bits_equal(s, reversed);
    assert(bits_equal(X, keep{1}) && bits_equal(mu, keep{2}) && ...
           bits_equal(sc, keep{3}) && bits_equal(w, keep{4}));
  end
  assert(order_matters);
  passed += 1;

  printf('%d passed, 0 failed\n', passed);
end

function two_outputs(X)
  [a, b] = linscore(X, [0 0], [1 1], [1 1 1]);
end

function [s, reversed] = reference(X, mu, sc, w)
  % One running sum per sample from +0, features in order, bias last; and
  % the same sum taken from the last feature, which rounds differently.
  [M, N] = size(X);
  s = zeros(N, 1);
  reversed = zeros(N, 1);
  for j = 1:N
    z = zeros(M, 1);
    for i = 1:M
      z(i) = (X(i, j) - mu(i)) / sc(i);
    end
    acc = 0;
    for k = 1:M
      acc = acc + w(k) * z(k);
    end
    s(j) = acc + w(M + 1);
    acc = 0;
    for k = M:-1:1
      acc = acc + w(k) * z(k);
    end
    reversed(j) = acc + w(M + 1);
  end
end
