function test_patchwarp()
  % patchwarp in Octave: the worked cases, every result count, its errors,
  % and bit-for-bit agreement with a plain reference that follows the same
  % operation order over thousands of random affine maps.
  passed = 0;
  image = 10 * (0:4)' + (0:5);   % 5 x 6, value 10 * r + c at 0-based (r, c)

  % Worked cases: identity block, transpose, block means, far-off centre,
  % a 1 x 1 image, a NaN coefficient.
  [p, x, y] = patchwarp(image, zeros(3), [1 0 0 1 3 2]);
  assert(isequal(p, image(2:4, 3:5)));
  assert(isequal(x, repmat(2:4, 3, 1)) && isequal(y, repmat((1:3)', 1, 3)));
  assert(isequal(patchwarp(image, zeros(3), [0 1 1 0 3 2]), image(2:4, 3:5)'));
  [p, x, y] = patchwarp(image, zeros(2), [1 0 0 1 1 1]);
  assert(isequal(p, [5.5 6.5; 15.5 16.5]));
  assert(isequal(x, [0.5 1.5; 0.5 1.5]) && isequal(y, [0.5 0.5; 1.5 1.5]));
  [p, x, y] = patchwarp(image, zeros(3), [1 0 0 1 -10 -10]);
  assert(bits_equal(x, zeros(3)) && bits_equal(y, zeros(3)) && all(p(:) == image(1, 1)));
  assert(isequal(patchwarp(7.25, zeros(2, 3), [2 1 -1 3 0.5 9]), 7.25 * ones(2, 3)));
  assert(isequal(patchwarp(image, zeros(1), [5 6 7 8 2.5 1.25]), 15));
  [p, x, y] = patchwarp(image, zeros(1, 3), [Inf 0 0 1 2 1]);
  assert(isequal(isnan(p), [false true false]) && isequal(isnan(x), isnan(p)) && ...
         isequal(isnan(y), isnan(p)));
  assert(x(3) == 5 && p(3) == image(2, 6));
  passed += 1;

  % Every result count gives the same values; none writes past the slots
  % Octave provides.
  A = [0.5 0.25 -0.75 1 2.5 1.5];
  [p3, x3, y3] = patchwarp(image, zeros(2, 3), A);
  [p2, x2] = patchwarp(image, zeros(2, 3), A);
  p1 = patchwarp(image, zeros(2, 3), A);
  patchwarp(image, zeros(2, 3), A);
  assert(bits_equal(ans, p3) && bits_equal(p1, p3) && bits_equal(p2, p3) && bits_equal(x2, x3));
  passed += 1;

  % A in any shape with the same storage order, longer A, and templates of
  % any class or content give the same results; empty templates read nothing.
  A = [0.75 -0.5 0.5 0.75 2.25 1.75];
  [p, x, y] = patchwarp(image, zeros(3, 4), reshape(A, 2, 3));
  for a = {A, A', reshape(A, 3, 2), [A NaN NaN]}
    [q, u, v] = patchwarp(image, zeros(3, 4), a{1});
    assert(bits_equal(q, p) && bits_equal(u, x) && bits_equal(v, y));
  end
  templates = {NaN(3, 4), int8(ones(3, 4)), true(3, 4), single(1i * ones(3, 4)), ...
               sparse(3, 4), cell(3, 4), repmat('a', 3, 4), zeros(3, 2, 2)};
  for t = templates
    q = patchwarp(image, t{1}, A);
    assert(bits_equal(q, p));
  end
  e = patchwarp([], zeros(0, 4), []);
  assert(isequal(size(e), [0 4]));
  [e, ex, ey] = patchwarp([], cell(3, 0), zeros(1, 2));
  assert(isequal(size(e), [3 0]) && isequal(size(ex), [3 0]) && isequal(size(ey), [3 0]));
  passed += 1;

  % Count checks in their order, then the checks on the inputs.
  A = [1 0 0 1 1 1];
  expect_error(@() four_outputs(image, zeros(2), A), 'Too many output arguments!');
  expect_error(@() four_outputs(image, zeros(2)), 'Too many output arguments!');
  expect_error(@() patchwarp(image, zeros(2)), 'Not enough input arguments!');
  expect_error(@() patchwarp(image, zeros(2), A, A), 'Not enough input arguments!');
  for bad = {single(image), int32(image), complex(image, 1), sparse(image), image > 3}
    expect_error(@() patchwarp(bad{1}, zeros(2), A), 'patchwarp:notRealDouble');
  end
  for bad = {single(A), int8(A), complex(A, 0), sparse(A), A > 0}
    expect_error(@() patchwarp(image, zeros(2), bad{1}), 'patchwarp:notRealDouble');
  end
  expect_error(@() patchwarp(zeros(0, 4), zeros(2), A), 'patchwarp:emptyImage');
  expect_error(@() patchwarp(image, zeros(2), A(1:5)), 'patchwarp:tooFewElements');
  expect_error(@() patchwarp(image, sparse(65536, 32769), A), 'patchwarp:tooLarge');
  passed += 1;

  % Random affine maps (rotations, scales, shears, centres on and far off
  % the image, odd and even grids) agree bit for bit with the reference, and
  % the inputs keep their bits.
  rand('state', 11); randn('state', 11);
  sizes = [1 1; 1 7; 6 1; 9 12; 17 23; 32 32];
  maps = 0;
  for trial = 1:random_trials(3000)
    dims = sizes(1 + mod(trial, rows(sizes)), :);
    image = round(randn(dims) * 1000) / 64;
    if mod(trial, 3) == 0
      image = randn(dims);   % full-precision pixel values as well
    end
    M = 1 + mod(trial, 9); N = 1 + mod(floor(trial / 9), 8);
    t = 2 * pi * rand(); s = exp(1.5 * randn()); h = randn() * (rand() < 0.5);
    A = [s * cos(t), s * sin(t), s * (h * cos(t) - sin(t)), s * (h * sin(t) + cos(t)), ...
         (dims(2) + 20) * rand() - 10, (dims(1) + 20) * rand() - 10];
    switch mod(trial, 10)
      case 1
        A = [round(A(1:4) * 2) / 2, round(A(5:6))];   % positions on and between pixels
      case 2
        A(5:6) = A(5:6) + 1e4 * sign(randn(1, 2));  % centres far off the image
      case 3
        A(ceil(6 * rand())) = [1e308 -Inf NaN](ceil(3 * rand()));
    end
    keep = {image, A};
    [p, x, y] = patchwarp(image, zeros(M, N), A);
    [rp, rx, ry] = reference(image, M, N, A);
    assert(bits_equal(x, rx) && bits_equal(y, ry) && bits_equal(p, rp), ...
           'trial %d differs from the reference', trial);
    assert(bits_equal(image, keep{1}) && bits_equal(A, keep{2}));
    maps += 1;
  end
  passed += 1;

  % The examples in the help text run and give what they say.
  [p, x, y] = patchwarp(magic(4), zeros(2), [1 0; 0 1; 1 1]');
  assert(isequal(p, [8.5 6.5; 8 8.5]) && isequal(x, [0.5 1.5; 0.5 1.5]) && ...
         isequal(y, [0.5 0.5; 1.5 1.5]));
  assert(isequal(patchwarp(magic(4), zeros(3), [0 1 -1 0 2 1]), [13 8 12; 3 10 6; 2 11 7]));
  passed += 1;

  printf('%d passed, 0 failed (%d random maps)\n', passed, maps);
end

function four_outputs(varargin)
  [a, b, c, d] = patchwarp(varargin{:});
end

function [P, X, Y] = reference(image, M, N, A)
  % One cell at a time in storage order, one rounded operation per step:
  % offsets, the two products added first and the translation last, the
  % clamp (a NaN coordinate makes the whole pair NaN), then the bilinear
  % blend of rows within the two columns and of the two columns.
  rows = size(image, 1); cols = size(image, 2);
  xmax = cols - 1; ymax = rows - 1;
  P = zeros(M, N); X = zeros(M, N); Y = zeros(M, N);
  for j = 0:N-1
    dx = j - (N - 1) * 0.5;
    for i = 0:M-1
      dy = i - (M - 1) * 0.5;
      a = A(1) * dx; b = A(3) * dy; x = a + b; x = x + A(5);
      a = A(2) * dx; b = A(4) * dy; y = a + b; y = y + A(6);
      if isnan(x) || isnan(y)
        X(i+1, j+1) = NaN; Y(i+1, j+1) = NaN; P(i+1, j+1) = NaN;
        continue;
      end
      if x < 0
        x = 0;
      elseif x > xmax
        x = xmax;
      end
      if y < 0
        y = 0;
      elseif y > ymax
        y = ymax;
      end
      X(i+1, j+1) = x; Y(i+1, j+1) = y;
      c0 = double(int32(fix(x))); r0 = double(int32(fix(y)));   % +0 for -0, as an integer is
      fx = x - c0; fy = y - r0;
      if c0 + 1 < cols, c1 = c0 + 1; else, c1 = c0; end
      if r0 + 1 < rows, r1 = r0 + 1; else, r1 = r0; end
      a = fy * image(r1+1, c0+1); b = 1 - fy; b = b * image(r0+1, c0+1); s0 = a + b;
      a = fy * image(r1+1, c1+1); b = 1 - fy; b = b * image(r0+1, c1+1); s1 = a + b;
      a = 1 - fx; a = a * s0; b = fx * s1;
      P(i+1, j+1) = a + b;
    end
  end
end
