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

  % The two classes' scores over shared bins, the score 0 as a dashed line.
  fig = new_picture('plot');
  edges = linspace(min(s), max(s), 61);
  centres = (edges(1:end - 1) + edges(2:end)) / 2;
  counts = [bin_counts(s(label == 0), edges); bin_counts(s(label == 1), edges)];
  h = bar(centres, counts', 1);
  set(h(1), 'facecolor', [0.2 0.45 0.85], 'edgecolor', 'none');
  set(h(2), 'facecolor', [0.95 0.55 0.1], 'edgecolor', 'none');
  hold on;
  plot([0 0], [0 1.05 * max(counts(:))], 'k--', 'linewidth', 1.5);
  hold off;
  xlim(edges([1 end]));
  legend({sprintf('class 0 (%d samples)', per_class), sprintf('class 1 (%d samples)', per_class), ...
          'score 0'}, 'location', 'northwest');
  xlabel('score');
  ylabel('samples per bin');
  save_picture(outdir, 'linscore_histogram', fig, ...
               sprintf('linscore: scores of %d samples of %d features, two classes', ...
                       numel(s), rows(X)));
end

function counts = bin_counts(values, edges)
  % How many VALUES fall into each bin between EDGES, the last bin closed.
  counts = histc(values(:)', edges);
  counts(end - 1) += counts(end);
  counts = counts(1:end - 1);
end
