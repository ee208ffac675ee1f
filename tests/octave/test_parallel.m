function test_parallel()
  % Many images on several processes with the parallel package: parcellfun
  % over a stack of images gives, for every module, the same bits as a plain
  % loop. ./run installs the package (Debian's octave-parallel): without it
  % the test fails.
  if ~exist('parcellfun')
    assert(~isempty(pkg('list', 'parallel')), 'the parallel package is not installed');
    pkg load parallel
  end

  % Eight 40 x 48 images from a fixed integer sequence.
  images = cell(1, 8);
  for k = 1:numel(images)
    images{k} = mod((1:40)' * (3 * k + 1) + (1:48) * (5 * k + 2), 251) - 125;
  end
  runs = {@run_gridlerp, @run_patchwarp, @run_envsweep, @run_linscore};
  for r = 1:numel(runs)
    serial = cellfun(runs{r}, images, 'UniformOutput', false);
    parallel = parcellfun(2, runs{r}, images, 'UniformOutput', false, 'VerboseLevel', 0);
    assert(same_results(serial, parallel), 'parcellfun differs from the loop: %s', ...
           func2str(runs{r}));
  end
  printf('parcellfun: 4 modules x %d images, the same bits as the loop\n', numel(images));
  check_cluster();
end

function r = run_gridlerp(image)
  [X, Y] = meshgrid(linspace(-1.5, 48.5, 31), linspace(-1.5, 40.5, 23));
  r = {gridlerp(image, X, Y)};
end

function r = run_patchwarp(image)
  [p, x, y] = patchwarp(image, zeros(15, 17), [0.8 0.5 -0.5 0.8 24 20]);
  r = {p, x, y};
end

function r = run_envsweep(image)
  [v, c, w] = envsweep(image, 0.05, 0, 0.08, 0, 2, 1, 20, 16, 2.5);
  r = {v, c, w};
end

function r = run_linscore(image)
  % The image's columns as samples, its rows as features.
  r = {linscore(image, mean(image, 2), 64 * ones(40, 1), (-20:20)' / 16)};
end

function same = same_results(a, b)
  same = isequal(size(a), size(b));
  for k = 1:numel(a)
    same = same && numel(a{k}) == numel(b{k});
    for j = 1:numel(a{k})
      same = same && strcmp(class(a{k}{j}), class(b{k}{j})) && bits_equal(a{k}{j}, b{k}{j});
    end
  end
end

% The cluster functions (pserver, pconnect, netcellfun) need a server
% process, octave-pserver, which refuses to run as root and, without TLS,
% listens unauthenticated on every interface; this test starts none and says
% so. The recipe for a cluster is in doc/many-images.md.
function check_cluster()
  what = 'the parallel package''s cluster functions';
  if getuid() == 0
    why = 'octave-pserver refuses to run as root';
  else
    why = 'its server would listen unauthenticated on every interface; the test starts none';
  end
  line = sprintf('not checked on this machine: %s (%s)', what, why);
  printf('%s\n', line);
  % ./run test lists it in its summary.
  log = getenv('NOT_CHECKED_LOG');
  if ~isempty(log)
    fid = fopen(log, 'a');
    fprintf(fid, '%s\n', line);
    fclose(fid);
  end
end
