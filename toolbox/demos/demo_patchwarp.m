function demo_patchwarp(outdir)
  %DEMO_PATCHWARP Cut a fan of rotated and scaled patches with PATCHWARP.
  %   Eight 96 x 96 patches share one centre; each is turned a further 22.5
  %   degrees and sampled with a larger step than the one before. The patches
  %   go side by side into one picture, and their outlines, drawn from the
  %   clamped positions PATCHWARP hands back, onto a copy of the source.
  image = synthetic_picture(256);
  n = 96; gap = 4; centre = [100 110];   % 0-based (column, row) of every patch
  fan = ones(2 * n + gap, 4 * n + 3 * gap);
  outlines = repmat(image, [1 1 3]);
  for k = 0:7
    t = k * pi / 8; s = 0.6 * 2^(k / 4);
    % Column k of A: the image step for one grid column; then one grid row;
    % then the centre.
    A = [s * cos(t), -s * sin(t), centre(1); s * sin(t), s * cos(t), centre(2)];
    [patch, x, y] = patchwarp(image, zeros(n), A);
    r0 = floor(k / 4) * (n + gap); c0 = mod(k, 4) * (n + gap);
    fan(r0 + (1:n), c0 + (1:n)) = patch;
    border = [x(1, :), x(end, :), x(:, 1)', x(:, end)'; y(1, :), y(end, :), y(:, 1)', y(:, end)'];
    at = sub2ind(size(image), round(border(2, :)) + 1, round(border(1, :)) + 1);
    % From yellow for the first patch to red for the last.
    outlines(at) = 1;
    outlines(at + numel(image)) = 1 - k / 7;
    outlines(at + 2 * numel(image)) = 0;
  end
  save_picture(outdir, 'patchwarp_fan', fan);
  save_picture(outdir, 'patchwarp_outlines', outlines);
  printf('  cut 8 patches of %d x %d, turned by 0 to 157.5 degrees, steps 0.6 to %.2f pixels\n', ...
         n, n, 0.6 * 2^(7 / 4));

  % The positions handed back are where the patch was sampled: sampling the
  % image there with gridlerp gives the same bits.
  [patch, x, y] = patchwarp(image, zeros(n), A);
  same = isequal(typecast(patch(:), 'uint64'), typecast(gridlerp(image, x, y)(:), 'uint64'));
  printf('  the last patch equals gridlerp at its positions, bit for bit: %s\n', mat2str(same));
end
