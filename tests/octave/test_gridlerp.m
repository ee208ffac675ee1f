function test_gridlerp()
  % gridlerp in Octave: the worked examples, its errors, and bit-for-bit
  % agreement with a plain reference that follows the same operation order.
  passed = 0;

  % Worked examples on the 2 x 2 image [10 20; 30 40].
  image = [10 20; 30 40];
  v = gridlerp(image, [0.5 -5 1 0], [0.5; 0.5; 7; 0]);
  assert(isequal(v, [25 20 40 10]));
  assert(isequal(gridlerp(image, [0.5 -5 1 0], [0.5 0.5 7 0 NaN NaN]), [25 20 40 10]));
  ramp = 10 * (0:3)' + (0:3);
  assert(gridlerp(ramp, 2.75, 1.25) == 15.25);
  assert(gridlerp(7.5, [-3 0 12], [4 0 -1]) == [7.5 7.5 7.5]);
  assert(isnan(gridlerp([1 2; Inf 3], 0, 0)));   % 0 * Inf enters the sum
  % x = -0 truncates to the integer 0, so fx = -0 - 0 = -0 and the sample of
  % an all -0 image is (1 + 0) * -0 + (-0 * -0) = +0.
  assert(bits_equal(gridlerp(-zeros(2), -0, -0), 0));
  r = gridlerp(image, [NaN 1], [0 NaN]);
  assert(all(isnan(r)));
  passed += 1;

  % Shapes: empty grids, more than two dimensions, no output requested.
  e = gridlerp([], zeros(0, 3), []);
  assert(isequal(size(e), [0 3]));
  v = gridlerp(image, zeros(2, 3, 2), zeros(12, 1));
  assert(isequal(size(v), [2 6]) && all(v(:) == 10));
  gridlerp(image, 0, 0);
  assert(ans == 10);
  passed += 1;

  % Count checks in their order, then the checks on the inputs.
  expect_error(@() gridlerp(image, 0), 'Not enough input arguments!');
  expect_error(@() gridlerp(image, 0, 0, 0), 'Not enough input arguments!');
  expect_error(@() two_outputs(image), 'Too many output arguments!');
  expect_error(@() gridlerp(single(image), 0, 0), 'gridlerp:notRealDouble');
  expect_error(@() gridlerp(image, int32(0), 0), 'gridlerp:notRealDouble');
  expect_error(@() gridlerp(image, 0, complex(0, 1)), 'gridlerp:notRealDouble');
  expect_error(@() gridlerp(sparse(image), 0, 0), 'gridlerp:notRealDouble');
  expect_error(@() gridlerp(image, true, 0), 'gridlerp:notRealDouble');
  expect_error(@() gridlerp(zeros(0, 4), 0, 0), 'gridlerp:emptyImage');
  expect_error(@() gridlerp(image, [0 1 0], [0 1]), 'gridlerp:tooFewElements');
  passed += 1;

  % Random positions inside, on and outside the image agree bit for bit with
  % the reference, and the inputs keep their bits.
  rand('state', 7); randn('state', 7);
  for dims = [1 1; 1 9; 8 1; 31 47]'
    rows = dims(1); cols = dims(2);
    image = round(randn(rows, cols) * 1000) / 64;
    X = (cols + 4) * rand(60, 50) - 2;
    Y = (rows + 4) * rand(60, 50) - 2;
    X(1:7:end) = round(X(1:7:end));
    Y(1:5:end) = round(Y(1:5:end));
    X(3) = -0; X(4) = Inf; Y(5) = -Inf; X(6) = cols - 1; Y(6) = rows - 1;
    keep = {image, X, Y};
    v = gridlerp(image, X, Y);
    assert(bits_equal(v, reference(image, X, Y)));
    assert(bits_equal(image, keep{1}) && bits_equal(X, keep{2}) && bits_equal(Y, keep{3}));
  end
  passed += 1;

  printf('%d passed, 0 failed\n', passed);
end

function two_outputs(image)
  [a, b] = gridlerp(image, 0, 0);
end

function v = reference(image, X, Y)
  % Clamp each coordinate, then blend rows within the two columns and the
  % two columns, one rounded operation at a time.
  [rows, cols] = size(image);
  x = X(:); y = Y(1:numel(X))(:);
  x(x < 0) = 0; x(x > cols - 1) = cols - 1;
  y(y < 0) = 0; y(y > rows - 1) = rows - 1;
  c0 = double(int32(fix(x))); r0 = double(int32(fix(y)));   % +0 for -0, as an integer is
  fx = x - c0; fy = y - r0;
  c1 = min(c0 + 1, cols - 1); r1 = min(r0 + 1, rows - 1);
  flat = image(:);
  at = @(r, c) flat(r + c * rows + 1);
  s0 = fy .* at(r1, c0) + (1 - fy) .* at(r0, c0);
  s1 = fy .* at(r1, c1) + (1 - fy) .* at(r0, c1);
  v = reshape((1 - fx) .* s0 + fx .* s1, size(X, 1), []);
end
