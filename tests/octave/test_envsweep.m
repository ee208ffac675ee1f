function test_envsweep()
  % envsweep in Octave: the worked examples, its errors, and bit-for-bit
  % agreement with a brute-force reference over every source cell and with a
  % reference that follows the envelope sweep with single-precision crossings.
  passed = 0;
  src = [0 0 0 8; 6 0 0 0; 0 0 4 0];

  % Worked examples: one cell, strided positions, a tie going to the smaller
  % column, linear terms with positions outside the map.
  [v, c, r] = envsweep(3, 1, 0, 1, 0, 1, 1, 2, 2, 1);
  assert(isequal(v, [3 2; 2 1]) && isequal(c, int32(ones(2))) && isequal(r, int32(ones(2))));
  [v, c, r] = envsweep(src, 1, 0, 1, 0, 1, 1, 2, 2, 2);
  assert(isequal(v, [5 7; 5 4]) && isequal(c, int32([1 4; 1 3])) && isequal(r, int32([2 1; 2 3])));
  [v, c, r] = envsweep(src, 1, 0, 1, 0, 2.9, 1, 2.9, 2, 1);
  assert(isequal(v, [4 7; 5 6]) && isequal(c, int32([1 4; 1 4])) && isequal(r, int32([2 1; 2 1])));
  [v, c, r] = envsweep([5 0 0; 0 0 7], 0.5, 1, 2, -1, 0, 2, 3, 2, 1);
  assert(isequal(v, [5.5 7 7.5; 4.5 6 6.5]) && all(c(:) == 3) && all(r(:) == 2));
  assert(strcmp(class(v), 'double') && strcmp(class(c), 'int32') && strcmp(class(r), 'int32'));
  passed += 1;

  % A NaN cell is never chosen, as with max: the row [0 NaN 1] keeps its 1.
  [v, c, r] = envsweep([0 NaN 1], 1, 0, 1, 0, 1, 1, 3, 1, 1);
  assert(isequal(v, [0 0 1]) && isequal(c, int32([1 3 3])) && isequal(r, int32([1 1 1])));
  passed += 1;

  % Scalars of other classes are read as numbers; zero output sizes give
  % empty results, also from an empty map.
  [v, c, r] = envsweep(src, single(1), false, int32(1), 0, true, 1, int8(2), 2, uint16(2));
  assert(isequal(v, [5 7; 5 4]) && isequal(c, int32([1 4; 1 3])));
  [v, c, r] = envsweep(src, 1, 0, 1, 0, 1, 1, 0, 3, 1);
  assert(isequal(size(v), [3 0]) && isequal(size(c), [3 0]) && strcmp(class(r), 'int32'));
  [v, c, r] = envsweep(zeros(0, 4), 1, 0, 1, 0, 1, 1, 5, 0, 1);
  assert(isequal(size(v), [0 5]) && isequal(size(r), [0 5]));
  % An empty output takes no scratch, which here would be 24 GiB.
  [v, c, r] = envsweep(1, 1, 0, 1, 0, 1, 1, 0, 2^31 - 1, 1);
  assert(isequal(size(v), [2^31 - 1, 0]) && isequal(size(c), [2^31 - 1, 0]) ...
         && isequal(size(r), [2^31 - 1, 0]));
  passed += 1;

  % The three messages in their order, then the checks on unsafe inputs.
  expect_error(@() envsweep(src, 1, 0, 1, 0, 1, 1, 2, 2), 'Wrong number of inputs');
  expect_error(@() envsweep(src, 1, 0, 1, 0, 1, 1, 2, 2, 1, 1), 'Wrong number of inputs');
  expect_error(@() envsweep(src, 1, 0, 1, 0, 1, 1, 2, 2, 1), 'Wrong number of outputs');
  expect_error(@() two_outputs(single(src)), 'Wrong number of outputs');
  expect_error(@() three_outputs(single(src), 1, 1, 2), 'Invalid input');
  expect_error(@() three_outputs(int32(src), 1, 1, 2), 'Invalid input');
  expect_error(@() three_outputs(src > 0, 1, 1, 2), 'Invalid input');
  expect_error(@() three_outputs(complex(src, 1), 1, 1, 2), 'envsweep:notRealDouble');
  expect_error(@() three_outputs(sparse(src), 1, 1, 2), 'envsweep:notRealDouble');
  expect_error(@() three_outputs(src, NaN, 1, 2), 'envsweep:badScalar');
  expect_error(@() three_outputs(src, Inf, 1, 2), 'envsweep:badScalar');
  expect_error(@() three_outputs(src, 2^31, 1, 2), 'envsweep:badScalar');
  expect_error(@() three_outputs(src, 1, -1, 2), 'envsweep:badScalar');
  expect_error(@() three_outputs(src, 1, 1, NaN), 'envsweep:badScalar');
  expect_error(@() three_outputs(src, 1, 1, -0.5), 'envsweep:badScalar');
  expect_error(@() three_outputs(zeros(0, 4), 1, 1, 1), 'envsweep:emptySource');
  expect_error(@() three_outputs(src, 2^31 - 1, 3, 1), 'envsweep:positionRange');
  expect_error(@() three_outputs(src, 1, 3, Inf), 'envsweep:positionRange');
  expect_error(@() three_outputs(zeros(1, 4), 1, 2^30, 1), 'envsweep:tooLarge');
  passed += 1;

  % Random small-integer maps with many ties: maximum and minimum passes,
  % linear terms, fractional steps and positions outside the map agree bit
  % for bit with evaluating every cell, and the inputs keep their bits.
  rand('state', 11);
  quads = [-1 -0.5 0.5 1 2]; lins = [-1 0 0 0.5 2]; steps = [0 0.5 1 1.5 2.5];
  for trial = 1:random_trials(150)
    m = randi(7); n = randi(7);
    map = randi([0 3], m, n) - 1;
    q = quads(randi(5, 1, 2)); l = lins(randi(5, 1, 2)); step = steps(randi(5));
    args = {q(1), l(1), q(2), l(2), randi([-3 n + 3]) + 0.5 * rand(), ...
            randi([-3 m + 3]), randi([0 6]), randi([0 6]) + 0.9, step};
    keep = map;
    [v, c, r] = envsweep(map, args{:});
    [v0, c0, r0] = brute_force(map, args{:});
    assert(bits_equal(v, v0) && isequal(c, c0) && isequal(r, r0), 'trial %d', trial);
    assert(bits_equal(map, keep));
  end
  passed += 1;

  % Crossings within half a single-precision unit of a cell count as that
  % cell: on a line the module and the envelope reference differ from the
  % exact minimum, and they agree bit for bit on random maps full of such
  % crossings.
  [v, c, ~] = envsweep([0, 5 - 2e-7], -1, 0, 1, 0, 1, 1, 5, 1, 1);
  assert(isequal(v, [0 1 4 9 9 + (5 - 2e-7)]) && isequal(c, int32([1 1 1 1 2])));
  [v0, c0, ~] = brute_force([0, 5 - 2e-7], -1, 0, 1, 0, 1, 1, 5, 1, 1);
  assert(c0(4) == 2 && v0(4) < 9);
  [v, c, ~] = envsweep([0, 5 - 4e-7], -1, 0, 1, 0, 1, 1, 5, 1, 1);
  assert(isequal(v, [0 1 4 4 + (5 - 4e-7) 9 + (5 - 4e-7)]) && isequal(c, int32([1 1 1 2 2])));
  rand('state', 12);
  differ = 0;
  for trial = 1:60
    m = randi(9); n = randi(9);
    map = randi([-3 3], m, n) + 1e-7 * randi([-4 4], m, n) + 1000 * randi([0 1]);
    q = quads(randi(5, 1, 2)); l = lins(randi(5, 1, 2));
    args = {q(1), l(1), q(2), l(2), randi([-2 n + 2]), randi([-2 m + 2]), ...
            randi([1 12]), randi([1 12]), steps(randi(5))};
    [v, c, r] = envsweep(map, args{:});
    [v1, c1, r1] = envelope_reference(map, args{:});
    assert(bits_equal(v, v1) && isequal(c, c1) && isequal(r, r1), 'trial %d', trial);
    [v0, c0, r0] = brute_force(map, args{:});
    differ += ~(isequal(c, c0) && isequal(r, r0));
  end
  assert(differ > 0, 'no map had a crossing that single precision moves');
  passed += 1;

  % The example in the help text runs and gives what it says.
  scores = [0 0 0 8; 6 0 0 0; 0 0 4 0];
  [v, c, r] = envsweep(scores, 1, 0, 1, 0, 1, 1, 2, 2, 2);
  assert(isequal(v, [5 7; 5 4]) && isequal(c, int32([1 4; 1 3])) && isequal(r, int32([2 1; 2 3])));
  passed += 1;

  printf('%d passed, 0 failed\n', passed);
end

function two_outputs(map)
  [a, b] = envsweep(map, 1, 0, 1, 0, 1, 1, 2, 2, 1);
end

function three_outputs(map, col_first, out_cols, step)
  [a, b, c] = envsweep(map, 1, 0, 1, 0, col_first, 1, out_cols, 2, step);
end

function p = positions(first, count, step)
  % 0-based output positions: the first one, then each previous one plus the
  % step, truncated toward zero.
  p = zeros(1, count);
  if count > 0
    p(1) = fix(first) - 1;
  end
  for k = 2:count
    p(k) = fix(p(k - 1) + step);
  end
end

function [v, c, r] = brute_force(map, col_quad, col_lin, row_quad, row_lin, ...
                                 col_first, row_first, out_cols, out_rows, step)
  % Evaluates every source cell for every output cell, in the operation order
  % of the two passes: (column cost) + ((row cost) + value). The extreme of
  % each direction is a maximum where its coefficient is positive; among
  % equal values the smallest column, and within it the smallest row, wins.
  [m, n] = size(map);
  px = positions(col_first, fix(out_cols), step);
  py = positions(row_first, fix(out_rows), step);
  v = zeros(numel(py), numel(px)); c = zeros(size(v), 'int32'); r = c;
  [y, x] = ndgrid(0:m - 1, 0:n - 1);
  for i = 1:numel(px)
    for j = 1:numel(py)
      dy = py(j) - y; dx = px(i) - x;
      rowpart = (-row_quad * (dy .* dy) + -row_lin * dy) + map;
      % The best over the rows of each column, then over the columns.
      if row_quad > 0, best_rows = max(rowpart, [], 1); else, best_rows = min(rowpart, [], 1); end
      [~, rows_at] = max(rowpart == best_rows, [], 1);
      total = (-col_quad * (dx(1, :) .* dx(1, :)) + -col_lin * dx(1, :)) + best_rows;
      if col_quad > 0, best = max(total); else, best = min(total); end
      col = find(total == best, 1);
      v(j, i) = best; c(j, i) = col; r(j, i) = rows_at(col);
    end
  end
end

function [out, arg] = envelope_line(line, quad, lin, pos)
  % The envelope sweep over one line: crossings rounded to single precision
  % and compared in single, removal on less-or-equal, a forward-only cursor,
  % a position on a crossing taking the left piece. Indices are 0-based.
  len = numel(line);
  src = zeros(1, len); bound = single(zeros(1, len + 1));
  h = 1; src(1) = 0; bound(1) = single(-1e20); bound(2) = single(1e20);
  for q = 1:len - 1
    s = crossing(line, quad, lin, q, src(h));
    while h > 1 && s <= bound(h)
      h -= 1;
      s = crossing(line, quad, lin, q, src(h));
    end
    h += 1; src(h) = q; bound(h) = s; bound(h + 1) = single(1e20);
  end
  out = zeros(1, numel(pos)); arg = zeros(1, numel(pos));
  k = 1;
  for j = 1:numel(pos)
    while double(bound(k + 1)) < pos(j)
      k += 1;
    end
    d = pos(j) - src(k);
    out(j) = (quad * (d * d) + lin * d) + line(src(k) + 1);
    arg(j) = src(k);
  end
end

function s = crossing(line, quad, lin, q, v)
  num = ((line(q + 1) - line(v + 1)) - lin * (q - v)) + quad * (q * q - v * v);
  s = single(num / ((q - v) * (quad + quad)));
end

function [v, c, r] = envelope_reference(map, col_quad, col_lin, row_quad, row_lin, ...
                                        col_first, row_first, out_cols, out_rows, step)
  % Two passes of the envelope sweep with negated costs, then the row of each
  % result looked up in the column the second pass chose.
  [m, n] = size(map);
  px = positions(col_first, fix(out_cols), step);
  py = positions(row_first, fix(out_rows), step);
  mid = zeros(numel(py), n); mid_row = mid;
  for x = 1:n
    [mid(:, x), mid_row(:, x)] = envelope_line(map(:, x)', -row_quad, -row_lin, py);
  end
  v = zeros(numel(py), numel(px)); c = zeros(size(v), 'int32'); r = c;
  for j = 1:numel(py)
    [v(j, :), cols] = envelope_line(mid(j, :), -col_quad, -col_lin, px);
    c(j, :) = cols + 1;
    r(j, :) = mid_row(j, cols + 1) + 1;
  end
end
