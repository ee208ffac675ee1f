function demo_gridlerp(outdir)
  %DEMO_GRIDLERP Zoom and rotate a picture by resampling it with GRIDLERP.
  image = synthetic_picture(256);
  fig = new_picture('map');
  show_grey([0 255], [0 255], image);
  xlabel('column (0-based position)'); ylabel('row (0-based position)');
  save_picture(outdir, 'gridlerp_source', fig, 'gridlerp: the 256 x 256 source picture');

  % A 4x zoom into the top-left corner: 0-based positions a quarter pixel apart.
  [x, y] = meshgrid(0:0.25:63.75, 0:0.25:63.75);
  fig = new_picture('map');
  show_grey(x(1, :), y(:, 1), gridlerp(image, x, y));
  xlabel('source column (0-based position)'); ylabel('source row (0-based position)');
  save_picture(outdir, 'gridlerp_zoom', fig, ...
               'gridlerp: the top-left 64 x 64 pixels, every 1/4 pixel');
  printf('  zoomed the top-left 64 x 64 pixels four times (%d samples)\n', numel(x));

  % A rotation by 30 degrees about the centre. Positions that fall off the
  % picture are clamped onto it, so its border pixels stretch outwards.
  [c, r] = meshgrid(0:255, 0:255);
  t = pi / 6; cx = 127.5; cy = 127.5;
  x = cos(t) * (c - cx) - sin(t) * (r - cy) + cx;
  y = sin(t) * (c - cx) + cos(t) * (r - cy) + cy;
  fig = new_picture('map');
  show_grey([0 255], [0 255], gridlerp(image, x, y));
  xlabel('column'); ylabel('row');
  save_picture(outdir, 'gridlerp_rotated', fig, 'gridlerp: turned 30° about the centre, edges clamped');
  printf('  rotated the picture by 30 degrees about its centre\n');
end

function show_grey(x, y, values)
  % VALUES in [0, 1] as grey levels, pixel centres at positions X and Y.
  imagesc(x, y, values, [0 1]);
  axis image;
  colormap(gray(256));
  colorbar();
end
