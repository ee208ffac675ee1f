function demo_patchwarp(outdir)
  %DEMO_PATCHWARP Cut a fan of rotated and scaled patches with PATCHWARP.
  %   Eight 96 x 96 patches share one centre; each is turned a further 22.5
  %   degrees and sampled with a larger step than the one before. The patches
  %   go side by side into one picture, and their outlines, drawn from the
  %   clamped positions PATCHWARP hands back, onto the source.
  image = synthetic_picture(256);
  n = 96; centre = [100 110];   % 0-based (column, row) of every patch
  fan = new_picture('none');
  colormap(gray(256));
  outlines = cell(1, 8);
  for k = 0:7
    t = k * pi / 8; s = 0.6 * 2^(k / 4);
    % Column k of A: the image step for one grid column; then one grid row;
    % then the centre.
    A = [s * cos(t), -s * sin(t), centre(1); s * sin(t), s * cos(t), centre(2)];
    [patch, x, y] = patchwarp(image, zeros(n), A);
    % Two rows of four patches under the picture's heading.
    axes('position', [0.07 + mod(k, 4) * 0.235, 0.53 - floor(k / 4) * 0.43, 0.2, 0.32]);
    imagesc([1 n], [1 n], patch, [0 1]);
    axis image;
    set(gca, 'fontsize', 7, 'xtick', [], 'ytick', []);
    title(sprintf('%d: %g°, %.2f px', k + 1, k * 22.5, s), 'fontsize', 7, 'fontweight', 'normal');
    % Grid columns and rows labelled along the picture's bottom and left.
    if k >= 4
      set(gca, 'xtick', [1 n]);
      xlabel('grid column');
    end
    if mod(k, 4) == 0
      set(gca, 'ytick', [1 n]);
      ylabel('grid row');
    end
    % The patch's border, once round, in the image's positions.
    outlines{k + 1} = [x(1, :), x(2:end, end)', x(end, end-1:-1:1), x(end-1:-1:1, 1)';
                       y(1, :), y(2:end, end)', y(end, end-1:-1:1), y(end-1:-1:1, 1)'];
  end
  save_picture(outdir, 'patchwarp_fan', fan, ...
               'patchwarp: 8 patches of 96 x 96 (turn, grid step in pixels)');
  printf('  cut 8 patches of %d x %d, turned by 0 to 157.5 degrees, steps 0.6 to %.2f pixels\n', ...
         n, n, 0.6 * 2^(7 / 4));

  fig = new_picture('map');
  imagesc([0 255], [0 255], image, [0 1]);
  axis image;
  colormap(gray(256));
  colorbar();
  hold on;
  for k = 0:7
    % From yellow for the first patch to red for the last; the number at
    % the patch's first grid cell.
    colour = [1, 1 - k / 7, 0];
    plot(outlines{k + 1}(1, :), outlines{k + 1}(2, :), 'color', colour, 'linewidth', 1.5);
    text(outlines{k + 1}(1, 1), outlines{k + 1}(2, 1), sprintf('%d', k + 1), 'color', colour, ...
         'fontweight', 'bold', 'fontsize', 9);
  end
  xlabel('column (0-based position)'); ylabel('row (0-based position)');
  save_picture(outdir, 'patchwarp_outlines', fig, ...
               'patchwarp: where patches 1 to 8 were sampled (clamped)');

  % The positions handed back are where the patch was sampled: sampling the
  % image there with gridlerp gives the same bits.
  [patch, x, y] = patchwarp(image, zeros(n), A);
  same = isequal(typecast(patch(:), 'uint64'), typecast(gridlerp(image, x, y)(:), 'uint64'));
  printf('  the last patch equals gridlerp at its positions, bit for bit: %s\n', mat2str(same));
end
