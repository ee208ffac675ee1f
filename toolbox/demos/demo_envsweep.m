function demo_envsweep(outdir)
  %DEMO_ENVSWEEP Spread a sparse score map with ENVSWEEP and show where each result comes from.
  n = 160;
  rand('state', 3);
  peaks = 14;
  rows_at = randi(n, peaks, 1); cols_at = randi(n, peaks, 1);
  at = sub2ind([n n], rows_at, cols_at);
  scores = -10 * ones(n);            % a background no peak loses to
  scores(at) = 0.4 + 0.6 * rand(peaks, 1);

  % The source map: its peaks as dots coloured by score, numbered as the
  % pictures of the regions number them.
  fig = new_picture('map');
  scatter(cols_at, rows_at, 150, scores(at), 'filled');
  axis ij; axis image; axis([0.5 n + 0.5 0.5 n + 0.5]); box on;
  caxis([0.4 1]);
  ylabel(colorbar(), 'peak score');
  number_peaks(cols_at, rows_at, 'k');
  label_axes('');
  save_picture(outdir, 'envsweep_scores', fig, ...
               sprintf('envsweep: the source map, %d peaks; every other cell -10', peaks));

  % Every cell takes the best peak score minus a quadratic cost of the
  % distance to it, so each peak spreads into a round hill; the argmax maps
  % give, for every cell, the column and row of the peak that wins it.
  cost = 1 / 3000;
  [spread, best_col, best_row] = envsweep(scores, cost, 0, cost, 0, 1, 1, n, n, 1);
  fig = new_picture('map');
  show_map(spread, 1:n, 1:n, 'score');
  mark_peaks(cols_at, rows_at, 'w');
  label_axes('');
  save_picture(outdir, 'envsweep_spread', fig, ...
               'envsweep: best peak score less distance^2 / 3000');

  fig = new_picture('map');
  show_map(double(best_col), 1:n, 1:n, 'source column');
  mark_peaks(cols_at, rows_at, 'w');
  label_axes('');
  save_picture(outdir, 'envsweep_best_col', fig, ...
               'envsweep, best_col: the source column of each result');

  fig = new_picture('map');
  show_map(double(best_row), 1:n, 1:n, 'source row');
  mark_peaks(cols_at, rows_at, 'w');
  label_axes('');
  save_picture(outdir, 'envsweep_best_row', fig, ...
               'envsweep, best_row: the source row of each result');

  fig = new_picture('map');
  show_regions(region_ids(best_row, best_col, at, n), 1:n, 1:n, peaks);
  mark_peaks(cols_at, rows_at, 'k');
  number_peaks(cols_at, rows_at, 'k');
  label_axes('');
  save_picture(outdir, 'envsweep_regions', fig, ...
               'envsweep: the peak each cell''s result comes from');
  printf('  spread %d peaks over %d x %d cells\n', peaks, n, n);

  % A coarser, shifted grid: every 2.5 cells from cell (-20, -20), starting
  % beyond the map's top-left corner. The fraction of the step is dropped at
  % each step (toward zero), so the positions advance by 3 cells left of and
  % above the map, by 2 on it.
  [coarse, coarse_col, coarse_row] = envsweep(scores, cost, 0, cost, 0, -20, -20, 80, 80, 2.5);
  position = zeros(1, 80);
  position(1) = -20;
  for k = 2:80
    position(k) = fix(position(k - 1) + 2.5);
  end
  % Each result drawn over the cells from its position up to the next one,
  % in the map's cells, the whole map in view.
  cells = position(1):position(end) + 1;
  at_cell = lookup(position, cells);
  shown = [min(cells(1), 1) - 0.5, max(cells(end), n) + 0.5];
  fig = new_picture('map');
  show_map(coarse(at_cell, at_cell), cells, cells, 'score');
  axis([shown shown]);
  outline_map(n, 'k');
  mark_peaks(cols_at, rows_at, 'k');
  label_axes('source ');
  save_picture(outdir, 'envsweep_coarse', fig, ...
               'envsweep: 80 x 80 positions every 2.5 cells from cell -20');

  fig = new_picture('map');
  show_regions(region_ids(coarse_row, coarse_col, at, n)(at_cell, at_cell), cells, cells, peaks);
  axis([shown shown]);
  outline_map(n, 'k');
  mark_peaks(cols_at, rows_at, 'k');
  number_peaks(cols_at, rows_at, 'k');
  label_axes('source ');
  save_picture(outdir, 'envsweep_coarse_regions', fig, ...
               'envsweep: the peak each of the 80 x 80 results comes from');
  printf('  the same on an 80 x 80 grid with step 2.5 starting outside the map\n');
end

function show_map(values, x, y, what)
  % VALUES over cells X (columns) and Y (rows), with a colour bar saying WHAT.
  imagesc(x([1 end]), y([1 end]), values);
  axis image;
  ylabel(colorbar(), what);
end

function show_regions(id, x, y, peaks)
  % One colour per peak, neighbouring numbers far apart in hue; grey for a
  % result that comes from the background.
  colours = 0.45 + 0.55 * hsv(peaks)(mod((0:peaks - 1) * 5, peaks) + 1, :);
  imagesc(x([1 end]), y([1 end]), id, [-0.5 peaks + 0.5]);
  axis image;
  colormap([0.6 0.6 0.6; colours]);
  ylabel(colorbar('ytick', 0:peaks), 'peak (0: the background)');
end

function id = region_ids(best_row, best_col, at, n)
  % The number of the peak at each result's source cell; 0 for the background.
  number = zeros(n);
  number(at) = 1:numel(at);
  id = number(sub2ind([n n], double(best_row), double(best_col)));
end

function mark_peaks(cols_at, rows_at, colour)
  % A cross on every peak.
  hold on;
  plot(cols_at, rows_at, '+', 'color', colour, 'markersize', 8, 'linewidth', 1.5);
  hold off;
end

function number_peaks(cols_at, rows_at, colour)
  % Every peak's number beside it.
  for k = 1:numel(cols_at)
    text(cols_at(k) + 3, rows_at(k) - 4, sprintf('%d', k), 'color', colour, 'fontweight', 'bold');
  end
end

function outline_map(n, colour)
  % The edge of the n x n source map.
  hold on;
  plot([0.5 n + 0.5 n + 0.5 0.5 0.5], [0.5 0.5 n + 0.5 n + 0.5 0.5], '--', 'color', colour, ...
       'linewidth', 1.5);
  hold off;
end

function label_axes(which)
  xlabel([which 'column (1-based cell)']);
  ylabel([which 'row (1-based cell)']);
end
