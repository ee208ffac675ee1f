function octave_table(table_file)
  % The modules called from Octave beside what an Octave user would write
  % instead, on the same data, and what calls and fresh arrays cost in Octave
  % itself. Medians of a few timed runs (wall-clock time, tic and toc). Writes
  % a Markdown table to table_file; ./run bench puts it into doc/performance.md.
  reps = 5;
  lines = {};
  rand('state', 14);

  % gridlerp: interp2 takes 1-based positions and gives NaN off the image, so
  % the positions are clamped first.
  image = rand(1024);
  X = rand(1024) * 1044 - 10;
  Y = rand(1024) * 1044 - 10;
  ours = timed(@() gridlerp(image, X, Y), reps);
  theirs = timed(@() interp2(image, min(max(X, 0), 1023) + 1, min(max(Y, 0), 1023) + 1), reps);
  lines(end + 1, :) = {'sample a 1024² image at 1024² positions', 'gridlerp(image, X, Y)', ours, ...
                      'interp2(image, clamped X + 1, clamped Y + 1)', theirs};

  % patchwarp: the affine positions of a grid centred on the origin, clamped,
  % then interp2; three results as the module gives.
  A = [0.5 * cos(0.5), 0.5 * sin(0.5), -0.5 * sin(0.5), 0.5 * cos(0.5), 511.5, 511.5];
  template = zeros(1024);
  ours = timed(@() call_patchwarp(image, template, A), reps);
  theirs = timed(@() affine_interp2(image, size(template), A), reps);
  lines(end + 1, :) = {'cut a 1024² patch, with its positions', 'patchwarp(image, template, A)', ...
                      ours, '~affine positions (meshgrid), clamped, then interp2', theirs};

  % envsweep: the maximum over every source cell for every output cell, each
  % output cell one vectorised expression.
  for n = [40 128]
    map = rand(n) * 100;
    ours = timed(@() call_envsweep(map), reps);
    theirs = timed(@() brute_force_sweep(map), max(1, floor(reps / 2)));
    lines(end + 1, :) = {sprintf('distance transform of a %d² map (step 1)', n), ...
                        'envsweep(map, ...)', ours, ...
                        '~a loop over output cells, each `max(map(:) - cost(:))`', theirs};
  end

  % linscore.
  Xf = rand(64, 100000);
  mu = rand(64, 1);
  sigma = rand(64, 1) + 0.5;
  w = rand(65, 1);
  ours = timed(@() linscore(Xf, mu, sigma, w), reps);
  theirs = timed(@() w(1:64)' * ((Xf - mu) ./ sigma) + w(end), reps);
  lines(end + 1, :) = {'score 100000 samples of 64 features', 'linscore(X, mean, scale, w)', ours, ...
                      'w(1:M)'' * ((X - mean) ./ scale) + w(end)', theirs};

  % The cost of a call: the smallest call of each module, many times over.
  calls = 2000;
  small = {'gridlerp(1, 0, 0)', @() gridlerp(1, 0, 0);
           'patchwarp(1, 1, [1 0 0 1 0 0])', @() patchwarp(1, 1, [1 0 0 1 0 0]);
           'envsweep(1, 1, 0, 1, 0, 1, 1, 1, 1, 1)', @() call_envsweep(1);
           'linscore(1, 0, 1, [1 0])', @() linscore(1, 0, 1, [1 0])};
  for k = 1:size(small, 1)
    f = small{k, 2};
    t = timed(@() repeat(f, calls), 3) / calls;
    lines(end + 1, :) = {'smallest call (per call)', small{k, 1}, t, '', NaN};
  end

  % Fresh arrays: every result is a new host array, and writing fresh memory
  % is slow on some machines; this is what the results of the 1024² cases
  % cost to create before any computing.
  lines(end + 1, :) = {'a fresh 1024² result (8 MiB), as zeros', '', NaN, 'zeros(1024)', ...
                       timed(@() zeros(1024), reps)};
  lines(end + 1, :) = {'a fresh 1024² array, every element written', '', NaN, 'ones(1024)', ...
                       timed(@() ones(1024), reps)};
  lines(end + 1, :) = {'three fresh 1024² arrays (patchwarp''s results)', '', NaN, ...
                       '[a, b, c] = deal(ones(1024), ones(1024), ones(1024))', ...
                       timed(@() three_arrays(1024), reps)};
  lines(end + 1, :) = {'a fresh 64 x 100000 array (the size of linscore''s X)', '', NaN, ...
                       'ones(64, 100000)', timed(@() ones(64, 100000), reps)};

  out = fopen(table_file, 'w');
  fprintf(out, ['Octave %s on %s: medians of %d runs (wall-clock time, tic/toc), one ', ...
                'thread. The module call includes creating its result arrays.\n\n'], ...
          OCTAVE_VERSION, processor_name(), reps);
  fprintf(out, '| task | module call | ms | what one writes in Octave instead | ms | module faster by |\n');
  fprintf(out, '|---|---|---:|---|---:|---:|\n');
  for k = 1:size(lines, 1)
    [task, call, ours, code, theirs] = lines{k, :};
    ratio = '';
    if (! isnan(ours) && ! isnan(theirs))
      ratio = sprintf('%.1fx', theirs / ours);
    end
    fprintf(out, '| %s | %s | %s | %s | %s | %s |\n', task, code_text(call), ms_text(ours), ...
            code_text(code), ms_text(theirs), ratio);
  end
  fclose(out);
end

function t = timed(f, reps)
  % Median wall-clock time of reps calls of f, in milliseconds, after one
  % untimed call.
  f();
  times = zeros(reps, 1);
  for r = 1:reps
    start = tic();
    f();
    times(r) = toc(start) * 1000;
  end
  t = median(times);
end

function repeat(f, count)
  for k = 1:count
    f();
  end
end

function three_arrays(n)
  [a, b, c] = deal(ones(n), ones(n), ones(n));
end

function call_patchwarp(image, template, A)
  [patch, x, y] = patchwarp(image, template, A);
end

function call_envsweep(map)
  [v, c, r] = envsweep(map, 0.05, 0.1, 0.05, -0.1, 1, 1, columns(map), rows(map), 1);
end

function [v, x, y] = affine_interp2(image, grid, A)
  [j, i] = meshgrid(0:grid(2) - 1, 0:grid(1) - 1);
  dx = j - (grid(2) - 1) / 2;
  dy = i - (grid(1) - 1) / 2;
  x = min(max((A(1) * dx + A(3) * dy) + A(5), 0), columns(image) - 1);
  y = min(max((A(2) * dx + A(4) * dy) + A(6), 0), rows(image) - 1);
  v = interp2(image, x + 1, y + 1);
end

function [v, c, r] = brute_force_sweep(map)
  % The same costs as call_envsweep: 0.05 (p - x)^2 + 0.1 (p - x) across,
  % 0.05 (p - y)^2 - 0.1 (p - y) down, every output cell at a source cell.
  [n_rows, n_cols] = size(map);
  v = zeros(n_rows, n_cols);
  c = zeros(n_rows, n_cols, 'int32');
  r = c;
  for i = 1:n_cols
    d = i - (1:n_cols);
    col_cost = 0.05 * d .^ 2 + 0.1 * d;
    for j = 1:n_rows
      d = j - (1:n_rows)';
      [best, at] = max(map(:) - reshape((0.05 * d .^ 2 - 0.1 * d) + col_cost, [], 1));
      v(j, i) = best;
      r(j, i) = mod(at - 1, n_rows) + 1;
      c(j, i) = floor((at - 1) / n_rows) + 1;
    end
  end
end

function name = processor_name()
  name = 'unknown processor';
  [status, text] = system('grep -m1 "model name" /proc/cpuinfo 2>/dev/null');
  if (status == 0 && ! isempty(text))
    name = strtrim(text(index(text, ':') + 1:end));
  end
  [status, text] = system('grep -m1 -o -w avx512f /proc/cpuinfo 2>/dev/null');
  if (status == 0 && ! isempty(strtrim(text)))
    name = [name ' (AVX-512)'];
  else
    name = [name ' (no AVX-512)'];
  end
end

function text = code_text(code)
  % Octave code in backquotes; a description (marked with a leading ~) as it is.
  if (isempty(code))
    text = '';
  elseif (code(1) == '~')
    text = code(2:end);
  else
    text = ['`' strrep(code, '|', '\|') '`'];
  end
end

function text = ms_text(ms)
  if (isnan(ms))
    text = '';
  elseif (ms < 0.1)
    text = sprintf('%.4f', ms);
  else
    text = sprintf('%.2f', ms);
  end
end
