function demo_envsweep(outdir)
  %DEMO_ENVSWEEP Spread a sparse score map with ENVSWEEP and show where each result comes from.
  n = 160;
  rand('state', 3);
  peaks = 14;
  rows_at = randi(n, peaks, 1); cols_at = randi(n, peaks, 1);
  at = sub2ind([n n], rows_at, cols_at);
  scores = -10 * ones(n);            % a background no peak loses to
  scores(at) = 0.4 + 0.6 * rand(peaks, 1);
  save_picture(outdir, 'envsweep_scores', (scores + 1) / 2);

  % Every cell takes the best peak score minus a quadratic cost of the
  % distance to it, so each peak spreads into a round hill; the argmax maps
  % give, for every cell, the column and row of the peak that wins it.
  cost = 1 / 3000;
  [spread, best_col, best_row] = envsweep(scores, cost, 0, cost, 0, 1, 1, n, n, 1);
  save_picture(outdir, 'envsweep_spread', (spread + 1) / 2);
  save_picture(outdir, 'envsweep_best_col', double(best_col) / n);
  save_picture(outdir, 'envsweep_best_row', double(best_row) / n);
  save_picture(outdir, 'envsweep_regions', region_picture(best_row, best_col, at, n));
  printf('  spread %d peaks over %d x %d cells\n', peaks, n, n);

  % A coarser, shifted grid: every 2.5 cells from cell (-20, -20), reaching
  % beyond the map on both sides. The fraction of the step is dropped at
  % each step, so the positions advance by 2 or 3 cells.
  [coarse, coarse_col, coarse_row] = envsweep(scores, cost, 0, cost, 0, -20, -20, 80, 80, 2.5);
  save_picture(outdir, 'envsweep_coarse', (coarse + 1) / 2);
  save_picture(outdir, 'envsweep_coarse_regions', region_picture(coarse_row, coarse_col, at, n));
  printf('  the same on an 80 x 80 grid with step 2.5 starting outside the map\n');
end

function picture = region_picture(best_row, best_col, at, n)
  % One grey level per peak: the peak that wins each cell.
  id = zeros(n);
  id(at) = 1:numel(at);
  picture = id(sub2ind([n n], double(best_row), double(best_col))) / numel(at);
end
