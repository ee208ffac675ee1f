function demo_linscore(outdir)
  %DEMO_LINSCORE Score two synthetic classes with LINSCORE and draw a histogram.
  %   The features lie on very different scales, so each is standardised
  %   with the pooled mean and standard deviation before it is weighted.
  randn('state', 5);
  per_class = 4000;
  centre0 = [1000; 0.002; 5; -3; 40; 0];
  centre1 = [1060; 0.003; 5; -1; 38; 0.5];
  spread = [50; 0.001; 2; 2; 4; 1];
  X = [centre0 + spread .* randn(6, per_class), centre1 + spread .* randn(6, per_class)];
  label = [zeros(1, per_class), ones(1, per_class)];

  % Pooled statistics standardise; the weights are the class-mean difference
  % in standardised units, the bias puts the midpoint between the classes at 0.
  mu = mean(X, 2);
  sc = std(X, 0, 2);
  m0 = (mean(X(:, label == 0), 2) - mu) ./ sc;
  m1 = (mean(X(:, label == 1), 2) - mu) ./ sc;
  w = m1 - m0;
  bias = -w' * (m0 + m1) / 2;
  s = linscore(X, mu, sc, [w; bias]);
  printf('  scored %d samples of %d features; %.1f%% fall on their class''s side of 0\n', ...
         numel(s), rows(X), 100 * mean((s' > 0) == label));

  % The order of the sum is fixed: 1e16 + 1 + 1, taken from the first feature, stays 1e16.
  printf('  linscore([1e16; 1; 1], 0s, 1s, [1 1 1 0]) - 1e16 = %g\n', ...
         linscore([1e16; 1; 1], zeros(3, 1), ones(3, 1), [1 1 1 0]) - 1e16);

  save_picture(outdir, 'linscore_histogram', histogram_picture(s(label == 0), s(label == 1)));
end

function picture = histogram_picture(a, b)
  % Two overlaid histograms over shared bins as an RGB picture in [0, 1]:
  % A in blue, B in orange, their overlap darker, the score 0 as a grey line.
  height = 300; bins = 60; bar = 8;
  edges = linspace(min([a; b]), max([a; b]), bins + 1);
  counts = [histc(a, edges)(:)'; histc(b, edges)(:)'];
  counts(:, bins) += counts(:, bins + 1);          % the top edge belongs to the last bin
  counts = counts(:, 1:bins);
  tops = round(height * counts / max(counts(:)));
  level = (height:-1:1)';                          % height of each picture row
  in_a = kron(level <= tops(1, :), ones(1, bar));
  in_b = kron(level <= tops(2, :), ones(1, bar));
  colour = @(c) reshape(c, 1, 1, 3);
  picture = ones(height, bins * bar, 3);
  picture = picture .* (1 - in_a) + in_a .* colour([0.2 0.45 0.85]);
  picture = picture .* (1 - in_b) + in_b .* colour([0.95 0.55 0.1]);
  both = in_a & in_b;
  picture = picture .* (1 - both) + both .* colour([0.45 0.3 0.35]);
  zero = round(bins * bar * (0 - edges(1)) / (edges(end) - edges(1)));
  if zero >= 1 && zero <= bins * bar
    picture(:, zero, :) = 0.4;
  end
end
